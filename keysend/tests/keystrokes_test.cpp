#include "keystrokes.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "fakes.h"

namespace kavri::keysend {
namespace {

using testing::CallLog;
using ::testing::ElementsAre;
using testing::FakeClock;
using testing::FakeKeyboardEvents;

TEST(SendKey, ShortcutEventsCarryExactlyTheCommandFlagDownFirstThenUpAfterThePause) {
  CallLog log;
  FakeClock clock(log);
  FakeKeyboardEvents keyboard(log);
  EXPECT_TRUE(sendKey(keyboard, clock, kVK_ANSI_V, kCommandFlag));
  EXPECT_THAT(log,
              ElementsAre("createSource", "create 9 down", "create 9 up", "setFlags 9 down 1048576",
                          "setFlags 9 up 1048576", "post 9 down flags 1048576", "sleep 0.02",
                          "post 9 up flags 1048576"));
}

TEST(SendKey, ReturnWithoutModifiersLeavesTheFlagsAlone) {
  CallLog log;
  FakeClock clock(log);
  FakeKeyboardEvents keyboard(log);
  EXPECT_TRUE(sendKey(keyboard, clock, kVK_Return));
  EXPECT_THAT(log, ElementsAre("createSource", "create 36 down", "create 36 up",
                               "post 36 down flags 0", "sleep 0.02", "post 36 up flags 0"));
}

TEST(SendKey, WorksWithoutASourceAndPostsNothingWhenAnEventCannotBeMade) {
  CallLog log;
  FakeClock clock(log);
  FakeKeyboardEvents keyboard(log);
  keyboard.failSource = true;
  EXPECT_TRUE(sendKey(keyboard, clock, kVK_ANSI_N, kCommandFlag));

  for (bool down : {true, false}) {
    log.clear();
    keyboard.failingKeys = {{kVK_ANSI_N, down}};
    EXPECT_FALSE(sendKey(keyboard, clock, kVK_ANSI_N, kCommandFlag));
    EXPECT_THAT(log, ::testing::Not(::testing::Contains(::testing::StartsWith("post"))));
    EXPECT_THAT(log, ::testing::Not(::testing::Contains(::testing::StartsWith("sleep"))));
  }
}

TEST(EnsureAccessibility, TrustedAtOnceNeitherPromptsNorSleeps) {
  CallLog log;
  FakeClock clock(log);
  FakeKeyboardEvents keyboard(log);
  EXPECT_TRUE(ensureAccessibility(keyboard, clock));
  EXPECT_THAT(log, ElementsAre("trusted"));
}

TEST(EnsureAccessibility, GrantedAfterThePromptIsSeenWithinTheLimit) {
  CallLog log;
  FakeClock clock(log);
  FakeKeyboardEvents keyboard(log);
  keyboard.trustedAfterQueries = 4;
  EXPECT_TRUE(ensureAccessibility(keyboard, clock));
  // The first test after the prompt comes without a pause.
  EXPECT_THAT(log, ElementsAre("untrusted", "prompt", "untrusted", "sleep 0.10", "untrusted",
                               "sleep 0.10", "untrusted", "sleep 0.10", "trusted"));
}

TEST(EnsureAccessibility, NeverGrantedPromptsOnceAndGivesUpAfterTheLimit) {
  CallLog log;
  FakeClock clock(log);
  FakeKeyboardEvents keyboard(log);
  keyboard.trustedAfterQueries = -1;
  const double start = clock.time;
  EXPECT_FALSE(ensureAccessibility(keyboard, clock));
  EXPECT_EQ(std::count(log.begin(), log.end(), "prompt"), 1);
  EXPECT_GE(clock.time - start, 1.5);
  EXPECT_LT(clock.time - start, 1.5 + 0.1 + 1e-9);
  // No test after the deadline: the log ends with a pause.
  EXPECT_EQ(log.back(), "sleep 0.10");
}

TEST(WriteStderrLine, WritesTheTextAndOneLineFeedUnchanged) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const int savedStderr = dup(STDERR_FILENO);
  dup2(pipeFds[1], STDERR_FILENO);
  writeStderrLine("Accessibility → ok");
  writeStderrLine("");
  dup2(savedStderr, STDERR_FILENO);
  close(savedStderr);
  close(pipeFds[1]);
  char buffer[128];
  ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
  close(pipeFds[0]);
  ASSERT_GT(got, 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), "Accessibility → ok\n\n");
}

}  // namespace
}  // namespace kavri::keysend
