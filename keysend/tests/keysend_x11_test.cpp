// kavri-keysend against a real X server, a real window manager and a small X application of
// our own that records the keystrokes and pastes it receives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on
#include <signal.h>
#include <unistd.h>

#include <array>
#include <filesystem>

#include "misbehaving_x_clients.h"
#include "pasteboard.h"
#include "testing/files.h"
#include "testing/process.h"
#include "testing/wait.h"
#include "testing/x_server.h"
#include "workspace.h"

namespace kavri::keysend {
namespace {

using namespace kavri::testing;
using namespace std::chrono_literals;

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::StartsWith;

class KeySendX11 : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(session.ready()) << "no private X session"; }

  void TearDown() override {
    if (std::filesystem::exists(dir.path() + "/pid")) {
      pid_t pid = std::stoi(readFile(dir.path() + "/pid"));
      // Launched through the desktop, the target is not our child: end it by its pid.
      if (pid > 0) kill(pid, SIGTERM);
    }
    if (target) target->stop();
  }

  // Starts the recording application and waits until it has the focus.
  void startTarget(const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {KEYSEND_TARGET_PATH, dir.path()};
    argv.insert(argv.end(), options.begin(), options.end());
    target = std::make_unique<ChildProcess>(argv);
    ASSERT_TRUE(target->started());
    ASSERT_TRUE(waitUntil([&] { return !events().empty(); }, 30s))
        << "the target never got the focus";
  }

  std::vector<std::string> events() const { return readLines(dir.path() + "/events"); }

  bool hasEvent(const std::string& line) const {
    auto all = events();
    return std::find(all.begin(), all.end(), line) != all.end();
  }

  std::vector<std::string> eventsAfterFocus() const {
    std::vector<std::string> kept;
    for (const auto& line : events()) {
      if (line != "focus") kept.push_back(line);
    }
    return kept;
  }

  RunResult keysend(const std::vector<std::string>& args, const std::string& input,
                    const Environment& env = {}) {
    std::vector<std::string> argv = {KAVRI_KEYSEND_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult result = runProcess(argv, {.input = input, .environment = env});
    // A clipboard owner that kept our pipes open would have held the run to its time-out.
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.out, "");
    return result;
  }

  PrivateXServer session{true};  // with a window manager
  TempDir dir;
  std::unique_ptr<ChildProcess> target;
  std::unique_ptr<Pasteboard> pasteboard = makeGeneralPasteboard();
};

TEST_F(KeySendX11, PasteDeliversExactlyTheInputAndPutsThePreviousStringBack) {
  startTarget();
  std::string megabyte;
  for (int i = 0; megabyte.size() < 1024 * 1024; ++i)
    megabyte += "line " + std::to_string(i) + " ü\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"grüße 😀 日本語 — ok", "grüße 😀 日本語 — ok"},
      {"ends with a line feed\n", "ends with a line feed\n"},
      {megabyte, megabyte},
      {"", ""},
      {"broken \xff\xfe utf-8", ""},
  };
  int index = 0;
  for (const auto& [input, expected] : cases) {
    SCOPED_TRACE(index);
    const std::string previous = "previous string " + std::to_string(index);
    ASSERT_TRUE(pasteboard->setString(previous));
    RunResult result = keysend({"paste"}, input);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string line = "paste " + std::to_string(index);
    ASSERT_TRUE(waitUntil([&] { return hasEvent(line); })) << ::testing::PrintToString(events());
    const std::string pasted = readFile(dir.path() + "/paste-" + std::to_string(index));
    EXPECT_EQ(pasted.size(), expected.size());
    EXPECT_TRUE(pasted == expected);
    EXPECT_EQ(pasteboard->stringForType(), previous);
    ++index;
  }
  // Control was released with V: nothing else reached the application.
  EXPECT_THAT(eventsAfterFocus(),
              ElementsAre("paste 0", "paste 1", "paste 2", "paste 3", "paste 4"));
}

// A modifier the user still holds must not ride along with the shortcut, and must be held again
// afterwards; a terminal emulator gets the paste shortcut it binds.
TEST_F(KeySendX11, PasteCarriesExactlyItsOwnShortcutWhateverIsHeldOrFocused) {
  struct Case {
    std::string windowClass;
    KeySym held;
    std::string expected;
  };
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  auto setHeld = [&](KeySym sym, bool down) {
    if (sym == NoSymbol) return;
    XTestFakeKeyEvent(display, XKeysymToKeycode(display, sym), down ? True : False, CurrentTime);
    XSync(display, False);
  };
  auto isDown = [&](KeySym sym) {
    std::array<char, 32> keys{};
    XQueryKeymap(display, keys.data());
    const KeyCode code = XKeysymToKeycode(display, sym);
    return (keys[code / 8] & (1 << (code % 8))) != 0;
  };
  for (const Case& c :
       {Case{"KeysendTarget", XK_Alt_L, "paste 0"}, Case{"XTerm", NoSymbol, "shift-paste 0"},
        Case{"XTerm", XK_Shift_L, "shift-paste 0"}}) {
    SCOPED_TRACE(c.windowClass + " " + std::to_string(c.held));
    if (target) target->stop();
    std::filesystem::remove(dir.path() + "/events");
    startTarget({"--class=" + c.windowClass});
    setHeld(c.held, true);
    RunResult result = keysend({"paste"}, "text");
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    if (c.held != NoSymbol) {
      EXPECT_TRUE(isDown(c.held)) << "the held key was not put back";
    }
    setHeld(c.held, false);
    EXPECT_TRUE(waitUntil([&] { return !eventsAfterFocus().empty(); }));
    EXPECT_THAT(eventsAfterFocus(), ElementsAre(c.expected));
  }
  XCloseDisplay(display);
}

TEST_F(KeySendX11, PasteWithoutAPreviousStringLeavesThePastedText) {
  startTarget();
  pasteboard->clearContents();
  ASSERT_EQ(pasteboard->stringForType(), std::nullopt);
  RunResult result = keysend({"paste"}, "stays here");
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  ASSERT_TRUE(waitUntil([&] { return hasEvent("paste 0"); }));
  EXPECT_EQ(readFile(dir.path() + "/paste-0"), "stays here");
  EXPECT_EQ(pasteboard->stringForType(), "stays here");
}

class NewChatX11 : public KeySendX11 {
 protected:
  void SetUp() override {
    KeySendX11::SetUp();
    env = {{"XDG_DATA_HOME", dir.path() + "/data"}, {"XDG_DATA_DIRS", dir.path() + "/none"}};
  }
  void entry(const std::string& file, const std::string& body) {
    writeFile(dir.path() + "/data/applications/" + file,
              "[Desktop Entry]\nType=Application\n" + body);
  }
  Environment env;
};

TEST_F(NewChatX11, LaunchesTheAppWaitsForItAndSendsNewChatPromptAndReturnInOrder) {
  // The Exec line and the name are full of shell syntax; none of it may ever reach a shell.
  const std::string marker = dir.path() + "/pwned";
  entry("kavri-chat.desktop", "Name=Kavri Chat; touch " + marker +
                                  "\nStartupWMClass=KeysendTarget\nExec=" KEYSEND_TARGET_PATH " " +
                                  dir.path() + " $(touch " + marker + ") `touch " + marker +
                                  "` ; touch " + marker + "\n");
  RunResult result = keysend({"new-chat", "Kavri Chat; touch " + marker}, "Hello there", env);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err, "");
  ASSERT_TRUE(waitUntil([&] { return hasEvent("return"); })) << ::testing::PrintToString(events());
  EXPECT_THAT(eventsAfterFocus(), ElementsAre("ctrl+n", "paste 0", "return"));
  EXPECT_EQ(events().front(), "focus");
  EXPECT_EQ(readFile(dir.path() + "/paste-0"), "Hello there");
  EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(NewChatX11, TheFrontIsRecognisedByTheDesktopIdWithoutAWindowClassHint) {
  // The id equals the window's instance name, so the wait ends as soon as the window is active.
  entry("keysend-target.desktop", "Name=Target\nExec=" KEYSEND_TARGET_PATH " " + dir.path() + "\n");
  RunResult result = keysend({"new-chat", "keysend-target"}, "by id", env);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  ASSERT_TRUE(waitUntil([&] { return hasEvent("return"); }));
  EXPECT_THAT(eventsAfterFocus(), ElementsAre("ctrl+n", "paste 0", "return"));
  auto workspace = makeSharedWorkspace();
  EXPECT_THAT(workspace->frontmostApplicationIdentifiers(),
              ElementsAre("KeysendTarget", "keysend-target"));
}

TEST_F(NewChatX11, AnEntryInASubfolderIsFoundAndRecognisedInFrontByItsDesktopId) {
  // Its id, keysend-target, is the window's instance name; its file name alone names nothing.
  entry("keysend/target.desktop", "Name=Target\nExec=" KEYSEND_TARGET_PATH " " + dir.path() + "\n");
  RunResult result = keysend({"new-chat", "keysend-target"}, "from a subfolder", env);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  ASSERT_TRUE(waitUntil([&] { return hasEvent("return"); }));
  EXPECT_THAT(eventsAfterFocus(), ElementsAre("ctrl+n", "paste 0", "return"));
  RunResult probe = runProcess({RESOLVE_APP_PROBE_PATH, "keysend-target"}, {.environment = env});
  EXPECT_EQ(probe.out, dir.path() + "/data/applications/keysend/target.desktop\nkeysend-target");
  EXPECT_THAT(makeSharedWorkspace()->frontmostApplicationIdentifiers(), Contains("keysend-target"));
}

TEST_F(NewChatX11, ARunningAppIsBroughtToTheFrontInsteadOfStartedAgain) {
  // An instance that the entry started would record into a folder of its own.
  entry("kavri-chat.desktop", "Name=Chat\nStartupWMClass=KeysendTarget\nExec=" KEYSEND_TARGET_PATH
                              " " +
                                  dir.path() + "/second\n");
  startTarget();
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    OtherApplicationWindow other;
    ASSERT_TRUE(other.inFront());
    const std::string prompt = "prompt " + std::to_string(run);
    RunResult result = keysend({"new-chat", "Chat"}, prompt, env);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    ASSERT_TRUE(waitUntil([&] {
      auto all = events();
      return std::count(all.begin(), all.end(), "return") == run + 1;
    })) << ::testing::PrintToString(events());
    EXPECT_EQ(readFile(dir.path() + "/paste-" + std::to_string(run)), prompt);
  }
  EXPECT_THAT(eventsAfterFocus(),
              ElementsAre("ctrl+n", "paste 0", "return", "ctrl+n", "paste 1", "return"));
  EXPECT_EQ(processesOf(KEYSEND_TARGET_PATH, "DISPLAY=" + session.display()).size(), 1u);
}

TEST_F(NewChatX11, AnUnknownNameExitsThreeWithTheClipboardUntouched) {
  ASSERT_TRUE(pasteboard->setString("untouched"));
  const std::string marker = dir.path() + "/pwned";
  for (const std::string& name :
       std::vector<std::string>{"No Such App", "x; touch " + marker, "$(touch " + marker + ")"}) {
    RunResult result = keysend({"new-chat", name}, "prompt", env);
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.err, "App not found: " + name + "\n");
    EXPECT_EQ(pasteboard->stringForType(), "untouched");
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(NewChatX11, ALaunchFailureExitsFourWithThePromptOnTheClipboard) {
  // The desktop refuses an entry whose program is missing; the entry is still found by its file
  // name and then fails to open. So does something that exists but is no application.
  entry("Broken.desktop", "Name=Broken\nExec=/nonexistent/kavri-chat --new\n");
  for (const std::string& name : {std::string("Broken"), dir.path()}) {
    SCOPED_TRACE(name);
    RunResult result = keysend({"new-chat", name}, "the prompt", env);
    EXPECT_EQ(result.exitStatus, 4);
    EXPECT_THAT(result.err, StartsWith("openApplication failed: "));
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(pasteboard->stringForType(), "the prompt");
  }
}

TEST_F(NewChatX11, TheLaunchedAppDoesNotHoldTheCallersOutputOpen) {
  // keysend() waits for standard error to close; the target keeps running meanwhile.
  entry("kavri-chat.desktop", "Name=Chat\nStartupWMClass=KeysendTarget\nExec=" KEYSEND_TARGET_PATH
                              " " +
                                  dir.path() + "\n");
  RunResult result = keysend({"new-chat", "Chat"}, "x", env);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  ASSERT_TRUE(std::filesystem::exists(dir.path() + "/pid"));
  EXPECT_EQ(kill(std::stoi(readFile(dir.path() + "/pid")), 0), 0) << "the target is gone";
}

// ---- The clipboard backend on its own ----

TEST_F(KeySendX11, TheClipboardOwnerLeavesWhenAnotherClientTakesTheClipboard) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  const size_t before = processesOf(self).size();
  ASSERT_TRUE(pasteboard->setString("owned by a child"));
  EXPECT_EQ(processesOf(self).size(), before + 1);
  EXPECT_EQ(pasteboard->stringForType(), "owned by a child");
  // A new string replaces the owner rather than adding one.
  ASSERT_TRUE(pasteboard->setString("second"));
  EXPECT_TRUE(waitUntil([&] { return processesOf(self).size() == before + 1; }));
  pasteboard->clearContents();
  EXPECT_TRUE(waitUntil([&] { return processesOf(self).size() == before; }));
  EXPECT_EQ(pasteboard->stringForType(), std::nullopt);
}

TEST_F(KeySendX11, LargeTextsCrossTheClipboardIncrementallyBothWaysWithAnotherTool) {
  if (!std::filesystem::exists("/usr/bin/xclip")) GTEST_SKIP() << "xclip is not installed";
  std::string large;
  for (int i = 0; large.size() < 3 * 1024 * 1024; ++i)
    large += "chunk " + std::to_string(i) + " é\n";

  ASSERT_TRUE(pasteboard->setString(large));
  EXPECT_TRUE(makeGeneralPasteboard()->stringForType() == large);
  RunResult read =
      runProcess({"/usr/bin/xclip", "-o", "-selection", "clipboard", "-t", "UTF8_STRING"});
  EXPECT_EQ(read.exitStatus, 0);
  EXPECT_TRUE(read.out == large) << read.out.size() << " bytes instead of " << large.size();
  RunResult targets =
      runProcess({"/usr/bin/xclip", "-o", "-selection", "clipboard", "-t", "TARGETS"});
  EXPECT_EQ(targets.out, "TARGETS\nTIMESTAMP\nUTF8_STRING\nSTRING\nTEXT\n");

  const std::string other = "from another tool: " + large;
  // xclip stays behind to serve, like our own owner, and ends when the X server does.
  writeFile(dir.path() + "/other", other);
  ChildProcess xclip({"/usr/bin/xclip", "-i", "-selection", "clipboard", "-t", "UTF8_STRING",
                      dir.path() + "/other"});
  ASSERT_TRUE(xclip.started());
  std::optional<std::string> got;
  EXPECT_TRUE(waitUntil([&] {
    got = pasteboard->stringForType();
    return got && got->starts_with("from another tool");
  }));
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(*got == other) << got->size() << " bytes instead of " << other.size();
  pasteboard->clearContents();
  xclip.stop();
}

TEST_F(KeySendX11, AnOwnerThatNeverAnswersGivesNoString) {
  {
    SilentClipboardOwner silent;
    ASSERT_TRUE(silent.owns());
    EXPECT_EQ(pasteboard->stringForType(), std::nullopt);
  }
  EXPECT_EQ(pasteboard->stringForType(), std::nullopt);
}

TEST_F(KeySendX11, AStaleActiveWindowOfAGoneWindowManagerNamesNoApplication) {
  ASSERT_TRUE(pointActiveWindowAtAGoneWindow());
  auto workspace = makeSharedWorkspace();
  EXPECT_TRUE(workspace->frontmostApplicationIdentifiers().empty());
}

}  // namespace
}  // namespace kavri::keysend
