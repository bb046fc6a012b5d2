// The real kavri-keysend program, run as the host runs it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "keysend.h"
#include "testing/files.h"
#include "testing/process.h"

namespace kavri::keysend {
namespace {

using namespace kavri::testing;
using namespace std::chrono_literals;

TEST(KeySendProcess, UsageErrorsEndAtOnceWhileStandardInputStaysOpen) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{}, "Usage: kavri-keysend new-chat <AppName> | kavri-keysend paste\n"},
      {{"new-chat"}, "Usage: kavri-keysend new-chat <AppName>\n"},
      {{"Paste"}, "Usage: kavri-keysend new-chat <AppName>\n"},
      {{"frobnicate", "Chat"}, "Unknown command: frobnicate\n"},
  };
  for (const auto& usage : cases) {
    std::vector<std::string> argv = {KAVRI_KEYSEND_PATH};
    argv.insert(argv.end(), usage.args.begin(), usage.args.end());
    SCOPED_TRACE(::testing::PrintToString(argv));
    // Whoever reads here would wait for the end of input, which never comes.
    RunResult result = runProcess(argv, {.holdInputOpen = true, .timeout = 20s});
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.err, usage.line);
    EXPECT_EQ(result.out, "");
  }
}

TEST(KeySendProcess, HelpAndVersionAnswerOnStandardOutputWithoutADisplayOrInput) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"paste", "--help"}, {"--version"}, {"new-chat", "Chat", "--version"}}) {
    std::vector<std::string> argv = {KAVRI_KEYSEND_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    SCOPED_TRACE(::testing::PrintToString(argv));
    RunResult result = runProcess(
        argv, {.holdInputOpen = true, .environment = {{"DISPLAY", std::nullopt}}, .timeout = 20s});
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, helpOrVersionText(argv).value_or("(none)"));
    EXPECT_EQ(result.err, "");
  }
}

TEST(KeySendProcess, WithoutADisplayBothCommandsReportTheMissingPermission) {
  TempDir dir;
  writeFile(dir.path() + "/data/applications/chat.desktop",
            "[Desktop Entry]\nType=Application\nName=Chat\nExec=/bin/touch " + dir.path() +
                "/launched\n");
  const Environment environment = {{"DISPLAY", std::nullopt},
                                   {"XDG_DATA_HOME", dir.path() + "/data"},
                                   {"XDG_DATA_DIRS", dir.path() + "/none"}};

  RunResult paste =
      runProcess({KAVRI_KEYSEND_PATH, "paste"}, {.input = "text", .environment = environment});
  EXPECT_EQ(paste.exitStatus, 5);
  EXPECT_EQ(paste.err, "Accessibility permission not granted to KAVRI Connector.\n");

  RunResult newChat = runProcess({KAVRI_KEYSEND_PATH, "new-chat", "chat"},
                                 {.input = "text", .environment = environment});
  EXPECT_EQ(newChat.exitStatus, 5);
  EXPECT_EQ(newChat.err,
            "Accessibility permission not granted to KAVRI Connector — open System Settings → "
            "Privacy & Security → Accessibility and enable it.\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/launched"));
}

// The desktop's lookup by desktop-file id and by shown name, and the fixed candidates after it.
class ResolveAppURLProcess : public ::testing::Test {
 protected:
  std::string resolve(const std::string& name) {
    RunResult result = runProcess(
        {RESOLVE_APP_PROBE_PATH, name},
        {.environment = {{"XDG_DATA_HOME", dir.path() + "/home"},
                         {"XDG_DATA_DIRS", dir.path() + "/sys1:" + dir.path() + "/sys2"}}});
    EXPECT_FALSE(result.timedOut);
    return result.out;
  }
  void entry(const std::string& folder, const std::string& file, const std::string& body) {
    writeFile(dir.path() + "/" + folder + "/applications/" + file,
              "[Desktop Entry]\nType=Application\nExec=/bin/true\n" + body);
  }
  TempDir dir;
};

TEST_F(ResolveAppURLProcess, FindsEntriesByIdAndByShownNameWithTheirIdentifiers) {
  entry("sys1", "org.example.Chat.desktop", "Name=Example Chat\nStartupWMClass=ExampleChat\n");
  entry("sys2", "plain.desktop", "Name=Plain\n");
  entry("sys2", "kde/sub.desktop", "Name=In A Subfolder\n");
  const std::string chat = dir.path() + "/sys1/applications/org.example.Chat.desktop";
  EXPECT_EQ(resolve("org.example.Chat"), chat + "\nExampleChat");
  EXPECT_EQ(resolve("org.example.Chat.desktop"), chat + "\nExampleChat");
  EXPECT_EQ(resolve("Example Chat"), chat + "\nExampleChat");
  EXPECT_EQ(resolve("plain"), dir.path() + "/sys2/applications/plain.desktop\nplain");
  // An entry in a subfolder has the path below applications/ as its id, '/' turned into '-'.
  const std::string sub = dir.path() + "/sys2/applications/kde/sub.desktop\nkde-sub";
  EXPECT_EQ(resolve("kde-sub"), sub);
  EXPECT_EQ(resolve("kde-sub.desktop"), sub);
  EXPECT_EQ(resolve("In A Subfolder"), sub);
  EXPECT_EQ(resolve("sub"), "");
  EXPECT_EQ(resolve("example chat"), "");
  EXPECT_EQ(resolve("Nothing"), "");
  EXPECT_EQ(resolve(""), "");
}

TEST_F(ResolveAppURLProcess, AnExistingAbsolutePathComesFirst) {
  entry("sys1", "chat.desktop", "Name=Chat\n");
  const std::string other = dir.path() + "/elsewhere/chat.desktop";
  writeFile(other, "[Desktop Entry]\nType=Application\nName=Chat\nExec=/bin/true\n");
  EXPECT_EQ(resolve(other), other + "\nchat");
  EXPECT_EQ(resolve("/bin/true"), "/bin/true\ntrue");
  // A path to nothing is looked up like any other name.
  EXPECT_EQ(resolve(dir.path() + "/missing.desktop"), "");
}

TEST_F(ResolveAppURLProcess, TheDesktopsLookupWinsOverTheFixedCandidates) {
  // The desktop hides this entry, so only the fixed candidates can find it by file name.
  entry("home", "Chat.desktop", "Name=Hidden\nHidden=true\n");
  entry("sys2", "real-chat.desktop", "Name=Chat\n");
  EXPECT_EQ(resolve("Chat"), dir.path() + "/sys2/applications/real-chat.desktop\nreal-chat");
}

TEST_F(ResolveAppURLProcess, FixedCandidatesGoFromTheUserFolderToTheSystemFoldersInOrder) {
  entry("sys2", "Chat.desktop", "Name=A\nHidden=true\n");
  EXPECT_EQ(resolve("Chat").substr(0, resolve("Chat").find('\n')),
            dir.path() + "/sys2/applications/Chat.desktop");
  entry("sys1", "Chat.desktop", "Name=B\nHidden=true\n");
  EXPECT_EQ(resolve("Chat").substr(0, resolve("Chat").find('\n')),
            dir.path() + "/sys1/applications/Chat.desktop");
  entry("home", "Chat.desktop", "Name=C\nHidden=true\n");
  EXPECT_EQ(resolve("Chat").substr(0, resolve("Chat").find('\n')),
            dir.path() + "/home/applications/Chat.desktop");
}

}  // namespace
}  // namespace kavri::keysend
