#include "app_activation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fakes.h"

namespace kavri::keysend {
namespace {

using testing::CallLog;
using ::testing::ElementsAre;
using testing::FakeClock;
using testing::FakeWorkspace;

TEST(ResolveAppURL, AnExistingAbsolutePathWinsWithoutAskingTheDesktop) {
  CallLog log;
  FakeWorkspace workspace(log);
  workspace.existing = {"/opt/chat/chat.desktop"};
  workspace.known["/opt/chat/chat.desktop"] = "/elsewhere.desktop";
  EXPECT_EQ(resolveAppURL("/opt/chat/chat.desktop", workspace), "/opt/chat/chat.desktop");
  EXPECT_THAT(log, ElementsAre("exists? /opt/chat/chat.desktop"));
}

TEST(ResolveAppURL, AMissingAbsolutePathIsLookedUpAsAName) {
  CallLog log;
  FakeWorkspace workspace(log);
  EXPECT_EQ(resolveAppURL("/gone/x", workspace), std::nullopt);
  EXPECT_THAT(log, ElementsAre("exists? /gone/x", "lookup /gone/x", "exists? /apps//gone/x.desktop",
                               "exists? /home/u/apps//gone/x.desktop"));
}

TEST(ResolveAppURL, TheDesktopsAnswerWinsOverTheFixedPlacesAndIsNotChecked) {
  CallLog log;
  FakeWorkspace workspace(log);
  workspace.known["Chat"] = "/not/there.desktop";
  workspace.existing = {"/apps/Chat.desktop"};
  EXPECT_EQ(resolveAppURL("Chat", workspace), "/not/there.desktop");
  EXPECT_THAT(log, ElementsAre("lookup Chat"));
}

TEST(ResolveAppURL, FixedPlacesAreTriedInOrderWithTheNameUnchanged) {
  CallLog log;
  FakeWorkspace workspace(log);
  workspace.existing = {"/home/u/apps/Chat.desktop.desktop", "/apps/ Chat.desktop"};
  EXPECT_EQ(resolveAppURL("Chat.desktop", workspace), "/home/u/apps/Chat.desktop.desktop");
  EXPECT_EQ(resolveAppURL(" Chat", workspace), "/apps/ Chat.desktop");
  EXPECT_EQ(resolveAppURL("chat", workspace), std::nullopt);
}

TEST(DesktopEntryIdentifier, TheWindowClassWinsElseTheDesktopFileIdAndNeverAnEmptyOne) {
  EXPECT_EQ(desktopEntryIdentifier("/a/chat.desktop", "ChatWindow"), "ChatWindow");
  EXPECT_EQ(desktopEntryIdentifier("/a/org.example.Chat.desktop", std::nullopt),
            "org.example.Chat");
  // An empty class names nothing, so the file name stands in for it.
  EXPECT_EQ(desktopEntryIdentifier("/a/chat.desktop", ""), "chat");
  EXPECT_EQ(desktopEntryIdentifier("/a/.desktop", std::nullopt), std::nullopt);
  EXPECT_EQ(desktopEntryIdentifier("/a/.desktop", ""), std::nullopt);
  EXPECT_EQ(desktopEntryIdentifier("relative.desktop", std::nullopt), "relative");

  // Below an applications folder, the id is the path under it with '/' turned into '-'.
  const std::vector<std::string> folders = {"/home/u/.local/share/applications",
                                            "/usr/share/applications/"};
  const std::vector<std::pair<std::string, std::string>> ids = {
      {"/usr/share/applications/kde/chat.desktop", "kde-chat"},
      {"/usr/share/applications/a/b/chat.desktop", "a-b-chat"},
      {"/home/u/.local/share/applications/chat.desktop", "chat"},
      {"/home/u/.local/share/applications/org.example/Chat.desktop", "org.example-Chat"},
      // Not inside any of them: the file name alone.
      {"/opt/kde/chat.desktop", "chat"},
      {"/usr/share/applications-old/kde/chat.desktop", "chat"},
      {"/usr/share/applications", "applications"},
  };
  for (const auto& [path, id] : ids) {
    EXPECT_EQ(desktopEntryIdentifier(path, std::nullopt, folders), id) << path;
    EXPECT_EQ(desktopFileId(path, folders), path.ends_with(".desktop") ? id + ".desktop" : id);
  }
  EXPECT_EQ(desktopEntryIdentifier("/usr/share/applications/kde/chat.desktop", "Chat", folders),
            "Chat");
}

TEST(Activate, SuccessReturnsTrueAndWritesNothing) {
  CallLog log;
  FakeWorkspace workspace(log);
  std::vector<std::string> lines;
  EXPECT_TRUE(activate("/apps/chat.desktop", workspace,
                       [&](const std::string& line) { lines.push_back(line); }));
  EXPECT_TRUE(lines.empty());
}

TEST(Activate, AnErrorFromAnotherThreadGivesTheFailureLineAndFalse) {
  CallLog log;
  FakeWorkspace workspace(log);
  std::thread late;
  workspace.openBehaviour = [&](Workspace::OpenCompletion done) {
    late = std::thread([done] { done("Failed to execute child process “nope”"); });
  };
  std::vector<std::string> lines;
  std::mutex linesLock;
  EXPECT_FALSE(activate("/apps/chat.desktop", workspace, [&](const std::string& line) {
    std::lock_guard guard(linesLock);
    lines.push_back(line);
  }));
  late.join();
  EXPECT_THAT(lines, ElementsAre("openApplication failed: Failed to execute child process “nope”"));
}

TEST(Activate, NoAnswerWithinTheLimitGivesTheTimeOutLineAndALateAnswerIsHarmless) {
  CallLog log;
  FakeWorkspace workspace(log);
  Workspace::OpenCompletion kept;
  workspace.openBehaviour = [&](Workspace::OpenCompletion done) { kept = std::move(done); };
  std::vector<std::string> lines;
  EXPECT_FALSE(activate(
      "/apps/slow.desktop", workspace, [&](const std::string& line) { lines.push_back(line); },
      0.05));
  EXPECT_THAT(lines, ElementsAre("openApplication timed out for /apps/slow.desktop"));
  // The answer that comes after the caller gave up still finds its shared state alive.
  kept("too late");
  EXPECT_THAT(lines, ElementsAre("openApplication timed out for /apps/slow.desktop",
                                 "openApplication failed: too late"));
}

TEST(WaitForFront, AnAppAlreadyInFrontEndsTheWaitWithoutSleeping) {
  CallLog log;
  FakeClock clock(log);
  FakeWorkspace workspace(log);
  waitForFront(std::string("chat-app"), workspace, clock);
  EXPECT_THAT(log, ElementsAre("front?"));
}

TEST(WaitForFront, ComparesIdentifiersExactly) {
  CallLog log;
  FakeClock clock(log);
  FakeWorkspace workspace(log);
  const double start = clock.time;
  waitForFront(std::string("chatapp"), workspace, clock, 0.1, 1.0);
  EXPECT_GE(clock.time - start, 1.0);
}

}  // namespace
}  // namespace kavri::keysend
