// Faults during a live session, through the real program, the real speech engine and a real
// PulseAudio server of each test's own (never the shared one): the server dies and comes back,
// the host stops listening.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "event_output.h"
#include "live_program.h"
#include "testing/hosted_program.h"
#include "testing/words.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using namespace kavri::testing;

bool isPartialWith(const Event& event, const std::string& speaker, const std::string& word) {
  return event.value("event", "") == "partial" && event.value("speaker", "") == speaker &&
         lowercase(event.value("text", "")).find(word) != std::string::npos;
}

// Each test has a server of its own that it may kill and start again at the same address, the
// way a user's audio server crashes and is respawned.
class LiveFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready()) << "the private audio server did not start";
    server_.keepSinksAwake();
  }
  PrivatePulseServer server_;
};

bool hasMessage(const Event& event, const std::string& message) {
  return event.value("event", "") == "error" && event.value("message", "") == message;
}

TEST_F(LiveFaults, AServerThatDiesAndComesBackStopsEachSourceOnceAndStopKeepsEveryWordBefore) {
  auto run = liveTranscriber(server_.address());
  ASSERT_TRUE(startSession(run, server_, "both")) << run.history();
  ASSERT_TRUE(playIntoBoth(server_.address()));
  // Both sources have words before the fault.
  bool micHeard = false, systemHeard = false;
  ASSERT_TRUE(run.until(
      [&](const Event& e) {
        micHeard = micHeard || isPartialWith(e, "mic", "forward");
        systemHeard = systemHeard || isPartialWith(e, "system", "something");
        return micHeard && systemHeard;
      },
      kEventTimeout))
      << run.history();

  server_.kill();
  // Each source has a connection of its own, so the two reports come in either order.
  std::optional<Event> micStopped, systemStopped;
  ASSERT_TRUE(run.until(
      [&](const Event& e) {
        if (hasMessage(e, "audio_engine_stopped")) micStopped = e;
        if (hasMessage(e, "system_audio_stopped")) systemStopped = e;
        return micStopped && systemStopped;
      },
      kEventTimeout))
      << run.history();
  EXPECT_EQ(*micStopped, (Event{{"event", "error"},
                                {"message", "audio_engine_stopped"},
                                {"speaker", "mic"},
                                {"description", "Connection terminated"}}));
  EXPECT_FALSE(systemStopped->contains("speaker"));

  ASSERT_TRUE(server_.start());
  server_.keepSinksAwake();
  // The session goes on across the outage: the process is still there and still takes commands.
  EXPECT_EQ(run.waitForExit(1s), std::nullopt) << run.history();
  auto final = stopSession(run);
  ASSERT_TRUE(final) << run.history();

  // Once each, and nothing else is reported; the words so far stay.
  for (const char* message : {"audio_engine_stopped", "system_audio_stopped"}) {
    EXPECT_EQ(run.count([&](const Event& e) { return hasMessage(e, message); }), 1u)
        << run.history();
  }
  EXPECT_EQ(run.count([](const Event& e) { return e.value("event", "") == "error"; }), 2u)
      << run.history();
  expectBothLines(*final, "go forward ten meters", "something");
}

// The host stops reading while partials flow: the program ends with status 2, not by a signal,
// and leaves no record stream behind on the server.
TEST_F(LiveFaults, AHostThatStopsListeningMidSessionLeavesNothingCapturing) {
  auto run = liveTranscriber(server_.address());
  ASSERT_TRUE(startSession(run, server_, "both")) << run.history();
  // Seven seconds of speech: partials go on coming after the host has gone.
  auto mic = playRecording(server_.address(), "kavri_mic_in",
                           "librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
  ASSERT_TRUE(run.until("partial", kEventTimeout)) << run.history();
  run.closeStdout();
  EXPECT_EQ(run.waitForExit(), 2) << "128 + n means signal n";
  EXPECT_TRUE(server_.waitForRecordStreams(run.pid(), 0, kEventTimeout));
}

// The host goes while a session captures silence: the program outlives the process that started
// it, but once nobody holds its pipes the session is cancelled and the program ends with status
// 2, leaving nothing recording on the server.
TEST_F(LiveFaults, AHostThatIsGoneMidSessionLeavesNothingCapturing) {
  ::setenv("PULSE_SERVER", server_.address().c_str(), 1);
  auto outcome = runUntilTheHostIsGone(KAVRI_TRANSCRIBE_PATH, "start en-US both\n");
  EXPECT_TRUE(outcome.sawStarted) << outcome.output;
  EXPECT_TRUE(outcome.outlivedItsHost) << outcome.output;
  EXPECT_EQ(outcome.exitStatus, 2) << outcome.output;
  EXPECT_EQ(outcome.output.find("\"final\""), std::string::npos) << outcome.output;
  EXPECT_TRUE(server_.waitForRecordStreams(outcome.pid, 0, kEventTimeout));
}

}  // namespace
}  // namespace kavri
