#include "keysend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "fakes.h"

namespace kavri::keysend {
namespace {

using testing::CallLog;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::FakeClock;
using testing::FakeKeyboardEvents;
using testing::FakePasteboard;
using testing::FakeWorkspace;

class KeySendTest : public ::testing::Test {
 protected:
  int run(std::vector<std::string> args) {
    KeySendServices services{
        .readInput =
            [this] {
              ++inputReads;
              log.push_back("read input");
              return input;
            },
        .writeLine = [this](const std::string& line) { lines.push_back(line); },
        .pasteboard = [this]() -> Pasteboard& { return pasteboard; },
        .workspace = [this]() -> Workspace& { return workspace; },
        .keyboard = keyboard,
        .clock = clock,
        .timings = {},
    };
    return runKeySend(args, services);
  }

  // The log without the clipboard, trust and workspace chatter: keystrokes and pauses only.
  std::vector<std::string> keystrokesAndPauses() const {
    std::vector<std::string> kept;
    for (const auto& entry : log) {
      if (entry.starts_with("post") || entry.starts_with("sleep")) kept.push_back(entry);
    }
    return kept;
  }

  CallLog log;
  std::vector<std::string> lines;
  std::string input = "hello";
  int inputReads = 0;
  FakeClock clock{log};
  FakeKeyboardEvents keyboard{log};
  FakePasteboard pasteboard{log};
  FakeWorkspace workspace{log};
};

struct UsageCase {
  std::vector<std::string> args;
  std::string line;
};

TEST_F(KeySendTest, UsageAndUnknownCommandsWriteTheirLineAndExitTwoWithoutReadingInput) {
  const std::string longUsage = "Usage: kavri-keysend new-chat <AppName> | kavri-keysend paste";
  const std::string newChatUsage = "Usage: kavri-keysend new-chat <AppName>";
  const std::vector<UsageCase> cases = {
      {{"kavri-keysend"}, longUsage},
      {{}, longUsage},
      {{"kavri-keysend", "new-chat"}, newChatUsage},
      {{"kavri-keysend", "frobnicate"}, newChatUsage},
      {{"kavri-keysend", "Paste"}, newChatUsage},
      {{"kavri-keysend", ""}, newChatUsage},
      {{"kavri-keysend", "frobnicate", "Chat"}, "Unknown command: frobnicate"},
      {{"kavri-keysend", "Paste", "x", "y"}, "Unknown command: Paste"},
      {{"kavri-keysend", "NEW-CHAT", "Chat"}, "Unknown command: NEW-CHAT"},
      {{"kavri-keysend", "  paste", "Chat"}, "Unknown command:   paste"},
  };
  for (const auto& usage : cases) {
    SCOPED_TRACE(::testing::PrintToString(usage.args));
    lines.clear();
    log.clear();
    EXPECT_EQ(run(usage.args), 2);
    EXPECT_THAT(lines, ElementsAre(usage.line));
    EXPECT_EQ(inputReads, 0);
    EXPECT_TRUE(log.empty()) << "nothing but the line may happen: " << log.front();
  }
}

TEST_F(KeySendTest, PasteSetsTheTextSendsControlVAndPutsThePreviousStringBack) {
  pasteboard.contents = "previous";
  input = "new text\n";
  EXPECT_EQ(run({"kavri-keysend", "paste", "ignored", "words"}), 0);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(inputReads, 1);
  EXPECT_THAT(log,
              ElementsAre("read input", "read pasteboard", "clear pasteboard",
                          "set pasteboard new text\n", "trusted", "createSource", "create 9 down",
                          "create 9 up", "setFlags 9 down 1048576", "setFlags 9 up 1048576",
                          "post 9 down flags 1048576", "sleep 0.02", "post 9 up flags 1048576",
                          "sleep 0.40", "clear pasteboard", "set pasteboard previous"));
  EXPECT_EQ(pasteboard.contents, "previous");
}

TEST_F(KeySendTest, PasteWithoutAPreviousStringLeavesThePastedText) {
  input = "kept";
  EXPECT_EQ(run({"kavri-keysend", "paste"}), 0);
  EXPECT_EQ(pasteboard.contents, "kept");
  EXPECT_EQ(log.back(), "sleep 0.40");
}

TEST_F(KeySendTest, InvalidUtf8InputIsPastedAsTheEmptyString) {
  input = "abc\xff\xfe";
  EXPECT_EQ(run({"kavri-keysend", "paste"}), 0);
  EXPECT_EQ(pasteboard.contents, "");
  EXPECT_THAT(keystrokesAndPauses(), ::testing::Contains("post 9 down flags 1048576"));
}

TEST_F(KeySendTest, PasteWithoutPermissionLeavesTheNewTextAndExitsFive) {
  pasteboard.contents = "previous";
  keyboard.trustedAfterQueries = -1;
  EXPECT_EQ(run({"kavri-keysend", "paste"}), 5);
  EXPECT_THAT(lines, ElementsAre("Accessibility permission not granted to KAVRI Connector."));
  EXPECT_EQ(pasteboard.contents, "hello");
  // Only the permission polls: nothing was posted.
  EXPECT_THAT(keystrokesAndPauses(), ::testing::Each("sleep 0.10"));
}

TEST_F(KeySendTest, PasteWhoseKeyEventsCannotBeMadeExitsFiveWithoutRestoring) {
  pasteboard.contents = "previous";
  keyboard.failingKeys = {{kVK_ANSI_V, false}};
  EXPECT_EQ(run({"kavri-keysend", "paste"}), 5);
  EXPECT_THAT(lines, ElementsAre("Failed to dispatch Cmd+V"));
  EXPECT_TRUE(keystrokesAndPauses().empty());
  EXPECT_EQ(pasteboard.contents, "hello");
}

TEST_F(KeySendTest, PasteStopsBeforeTheShortcutWhenTheClipboardCannotBeSet) {
  pasteboard.contents = "secret";
  pasteboard.settable = false;
  EXPECT_EQ(run({"kavri-keysend", "paste"}), 5);
  EXPECT_THAT(lines, ElementsAre("Failed to set the pasteboard string"));
  EXPECT_TRUE(keystrokesAndPauses().empty());
}

TEST_F(KeySendTest, NewChatOpensTheAppWaitsForTheFrontAndSendsNewChatPasteAndReturn) {
  workspace.known["Chat"] = "/apps/chat.desktop";
  workspace.frontAfterQueries = 2;
  input = "prompt text";
  EXPECT_EQ(run({"kavri-keysend", "new-chat", "Chat", "ignored"}), 0);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(pasteboard.contents, "prompt text");
  const std::vector<std::string> head = {"read input",
                                         "lookup Chat",
                                         "clear pasteboard",
                                         "set pasteboard prompt text",
                                         "trusted",
                                         "open /apps/chat.desktop",
                                         "identifier /apps/chat.desktop",
                                         "front?",
                                         "sleep 0.10",
                                         "front?",
                                         "sleep 0.10",
                                         "front?",
                                         "sleep 0.40"};
  ASSERT_GE(log.size(), head.size());
  EXPECT_THAT(std::vector(log.begin(), log.begin() + static_cast<long>(head.size())),
              ElementsAreArray(head));
  EXPECT_THAT(
      keystrokesAndPauses(),
      ElementsAre("sleep 0.10", "sleep 0.10", "sleep 0.40", "post 45 down flags 1048576",
                  "sleep 0.02", "post 45 up flags 1048576", "sleep 0.70",
                  "post 9 down flags 1048576", "sleep 0.02", "post 9 up flags 1048576",
                  "sleep 0.35", "post 36 down flags 0", "sleep 0.02", "post 36 up flags 0"));
  EXPECT_THAT(log, ::testing::Not(::testing::Contains("setFlags 36 down 0")));
}

TEST_F(KeySendTest, NewChatGoesOnAfterThreeSecondsWhenTheAppNeverComesToTheFront) {
  workspace.known["Chat"] = "/apps/chat.desktop";
  workspace.frontAfterQueries = -1;
  const double start = clock.time;
  EXPECT_EQ(run({"kavri-keysend", "new-chat", "Chat"}), 0);
  int polls = 0;
  for (const auto& entry : log) polls += entry == "front?";
  EXPECT_GE(polls, 29);
  EXPECT_LE(polls, 31);
  EXPECT_NEAR(clock.time - start, 3.0 + 1.51, 0.11);
}

TEST_F(KeySendTest, NewChatWithoutAnIdentifierWaitsTheFullTime) {
  workspace.known["Chat"] = "/apps/chat.desktop";
  workspace.identifier.reset();
  const double start = clock.time;
  EXPECT_EQ(run({"kavri-keysend", "new-chat", "Chat"}), 0);
  EXPECT_THAT(log, ::testing::Not(::testing::Contains("front?")));
  EXPECT_NEAR(clock.time - start, 3.0 + 1.51, 0.11);
}

TEST_F(KeySendTest, NewChatForAnUnknownAppExitsThreeWithTheClipboardUntouched) {
  pasteboard.contents = "previous";
  EXPECT_EQ(run({"kavri-keysend", "new-chat", "No Such; App"}), 3);
  EXPECT_THAT(lines, ElementsAre("App not found: No Such; App"));
  EXPECT_EQ(pasteboard.contents, "previous");
  EXPECT_THAT(log, ::testing::Not(::testing::Contains("clear pasteboard")));
}

TEST_F(KeySendTest, NewChatWithoutPermissionNeverOpensTheApp) {
  workspace.known["Chat"] = "/apps/chat.desktop";
  keyboard.trustedAfterQueries = -1;
  EXPECT_EQ(run({"kavri-keysend", "new-chat", "Chat"}), 5);
  EXPECT_THAT(lines, ElementsAre("Accessibility permission not granted to KAVRI Connector — open "
                                 "System Settings → Privacy & Security → Accessibility and enable "
                                 "it."));
  EXPECT_THAT(log, ::testing::Not(::testing::Contains("open /apps/chat.desktop")));
  EXPECT_EQ(pasteboard.contents, "hello");
}

TEST_F(KeySendTest, NewChatWhoseOpenFailsExitsFourWithThePromptOnTheClipboard) {
  workspace.known["Chat"] = "/apps/chat.desktop";
  workspace.openBehaviour = [](Workspace::OpenCompletion done) { done("no such program"); };
  EXPECT_EQ(run({"kavri-keysend", "new-chat", "Chat"}), 4);
  EXPECT_THAT(lines, ElementsAre("openApplication failed: no such program"));
  EXPECT_EQ(pasteboard.contents, "hello");
  EXPECT_TRUE(keystrokesAndPauses().empty());
}

TEST_F(KeySendTest, EachFailingKeystrokeOfNewChatHasItsOwnLine) {
  const std::vector<std::pair<uint16_t, std::string>> cases = {
      {kVK_ANSI_N, "Failed to dispatch Cmd+N"},
      {kVK_ANSI_V, "Failed to dispatch Cmd+V"},
      {kVK_Return, "Failed to dispatch Return"}};
  workspace.known["Chat"] = "/apps/chat.desktop";
  for (const auto& [key, line] : cases) {
    SCOPED_TRACE(line);
    lines.clear();
    log.clear();
    keyboard.failingKeys = {{key, true}};
    EXPECT_EQ(run({"kavri-keysend", "new-chat", "Chat"}), 5);
    EXPECT_THAT(lines, ElementsAre(line));
    // Nothing of the failing key was posted, and nothing after it.
    EXPECT_THAT(
        log,
        ::testing::Not(::testing::Contains(::testing::StartsWith("post " + std::to_string(key)))));
    EXPECT_TRUE(log.back().starts_with("create " + std::to_string(key)));
  }
}

TEST(HelpOrVersionText, HelpComesBeforeVersionAnywhereAndOnlyAsWholeArguments) {
  const std::string usage = helpOrVersionText({"kavri-keysend", "--help"}).value_or("");
  for (const char* part : {"Usage: kavri-keysend paste\n", "kavri-keysend new-chat <AppName>\n",
                           "--version", "\n  0  ", "\n  2  ", "\n  3  ", "\n  4  ", "\n  5  "}) {
    EXPECT_NE(usage.find(part), std::string::npos) << part;
  }
  const std::string version = helpOrVersionText({"kavri-keysend", "--version"}).value_or("");
  EXPECT_TRUE(std::regex_match(version, std::regex("kavri-keysend [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version;
  EXPECT_EQ(helpOrVersionText({"kavri-keysend", "paste", "--version", "--help"}), usage);
  EXPECT_EQ(helpOrVersionText({"kavri-keysend", "new-chat", "--version"}), version);
  EXPECT_EQ(helpOrVersionText({"kavri-keysend", "frobnicate", "Chat", "--version"}), version);
  for (auto args : {std::vector<std::string>{},
                    {"kavri-keysend"},
                    {"kavri-keysend", "paste"},
                    {"kavri-keysend", "-h"},
                    {"kavri-keysend", "new-chat", "--helpful"},
                    {"kavri-keysend", "--VERSION", "x"}}) {
    EXPECT_EQ(helpOrVersionText(args), std::nullopt) << ::testing::PrintToString(args);
  }
}

TEST(DecodeInput, KeepsValidUtf8ByteForByteAndEmptiesAnythingElse) {
  EXPECT_EQ(decodeInput(""), "");
  EXPECT_EQ(decodeInput("line\n"), "line\n");
  EXPECT_EQ(decodeInput("grüße 😀 日本\r\n"), "grüße 😀 日本\r\n");
  EXPECT_EQ(decodeInput(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(decodeInput("abc\xff"), "");
  EXPECT_EQ(decodeInput("\xc0\xaf"), "");          // overlong '/'
  EXPECT_EQ(decodeInput("\xed\xa0\x80"), "");      // a lone surrogate
  EXPECT_EQ(decodeInput("\xf4\x90\x80\x80"), "");  // beyond U+10FFFF
  EXPECT_EQ(decodeInput("ok\xe2\x82"), "");        // cut short at the end
}

}  // namespace
}  // namespace kavri::keysend
