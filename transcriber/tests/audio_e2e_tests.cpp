// kavri-transcribe end to end: the real program, the real speech engine and a real PulseAudio
// server of each test's own (so that no other test's sound gets into the dictation), fed with
// recordings of real speech.
#include <gtest/gtest.h>

#include "event_output.h"
#include "live_program.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using namespace kavri::testing;

constexpr char kNoServer[] = "unix:/nonexistent/kavri/native";

// The permission modes: one line without "event", exit 0.
std::vector<Event> modeLines(const std::string& server, const std::string& flag,
                             std::optional<int>& status) {
  auto transcriber = liveTranscriber(server, {flag});
  std::vector<Event> lines;
  while (auto event = transcriber.next(kEventTimeout)) lines.push_back(*event);
  status = transcriber.waitForExit();
  return lines;
}

class LiveEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready());
    server_.keepSinksAwake();
  }

  PrivatePulseServer server_;
};

// One source hears goforward played into `sink`: "started" as sent, partials of that speaker
// only, and the recording's words in "final".
void dictateGoForward(const std::string& address, const std::string& source,
                      const std::string& sink) {
  auto transcriber = liveTranscriber(address);
  transcriber.send("start en-US " + source);
  auto started = transcriber.until("started", kStartTimeout);
  ASSERT_TRUE(started) << transcriber.history();
  EXPECT_EQ(*started, (Event{{"event", "started"}, {"locale", "en-US"}, {"source", source}}));
  ASSERT_TRUE(waitForRecordStreams(address, transcriber.pid(), 1));

  ASSERT_TRUE(playRecording(address, sink, "goforward.raw")->waitForExit(kPlayTimeout));
  auto final = stopSession(transcriber);
  ASSERT_TRUE(final) << transcriber.history();

  EXPECT_NE(lowercase((*final)["text"]).find("go forward ten meters"), std::string::npos)
      << final->dump();
  EXPECT_EQ((*final)["sources"], (std::vector<std::string>{source}));
  auto partials = transcriber.seen("partial");
  ASSERT_FALSE(partials.empty()) << transcriber.history();
  for (const auto& partial : partials) EXPECT_EQ(partial["speaker"], source);
  EXPECT_TRUE(transcriber.seen("error").empty()) << transcriber.history();
}

// System audio that cannot be captured is reported with its cause, and the session goes on to an
// empty final text.
void expectSystemAudioStartFails(const std::string& address, const std::string& cause) {
  auto transcriber = liveTranscriber(address);
  transcriber.send("start en-US system");
  auto error = transcriber.until("error", kStartTimeout);
  ASSERT_TRUE(error) << transcriber.history();
  EXPECT_EQ(*error, (Event{{"event", "error"},
                           {"speaker", "system"},
                           {"message", "system_audio_start_failed"},
                           {"description", cause}}));
  auto final = stopSession(transcriber);
  ASSERT_TRUE(final) << transcriber.history();
  EXPECT_EQ((*final)["text"], "");
  EXPECT_EQ(transcriber.seen("started").size(), 1u);
}

TEST_F(LiveEndToEnd, SystemAudioGivesPartialsAndTheFinalText) {
  dictateGoForward(server_.address(), "system", "kavri_out");
}

TEST_F(LiveEndToEnd, TheMicrophoneGivesPartialsAndTheFinalText) {
  dictateGoForward(server_.address(), "mic", "kavri_mic_in");
}

TEST_F(LiveEndToEnd, BothGiveTheMicrophoneLineThenTheSystemLine) {
  auto transcriber = liveTranscriber(server_.address());
  ASSERT_TRUE(startSession(transcriber, server_, "both")) << transcriber.history();
  ASSERT_TRUE(playIntoBoth(server_.address()));
  auto final = stopSession(transcriber);
  ASSERT_TRUE(final) << transcriber.history();
  expectBothLines(*final, "go forward ten meters", "do something");
}

TEST_F(LiveEndToEnd, AServerKilledMidSessionStopsSystemAudioAndStopKeepsTheTextSoFar) {
  auto transcriber = liveTranscriber(server_.address());
  ASSERT_TRUE(startSession(transcriber, server_, "system")) << transcriber.history();

  auto player = playRecording(server_.address(), "kavri_out", "goforward.raw");
  ASSERT_TRUE(transcriber.until("partial", kEventTimeout)) << transcriber.history();
  server_.kill();
  auto stopped = transcriber.until("error", kEventTimeout);
  ASSERT_TRUE(stopped) << transcriber.history();
  EXPECT_EQ(*stopped, (Event{{"event", "error"},
                             {"message", "system_audio_stopped"},
                             {"description", "Connection terminated"}}));

  auto final = stopSession(transcriber);
  ASSERT_TRUE(final) << transcriber.history();
  EXPECT_FALSE(std::string((*final)["text"]).empty()) << transcriber.history();
  EXPECT_EQ(transcriber.seen("error").size(), 1u) << transcriber.history();
}

TEST_F(LiveEndToEnd, NoOutputDeviceToCaptureIsReportedAndTheSessionGoesOn) {
  server_.letSinksSleep();
  ASSERT_TRUE(server_.pactl({"unload-module", "module-remap-source"}));
  ASSERT_TRUE(server_.pactl({"unload-module", "module-null-sink"}));
  expectSystemAudioStartFails(server_.address(), "no_audio_output");
}

TEST_F(LiveEndToEnd, CancelWritesNothingMoreAndExitsThree) {
  auto transcriber = liveTranscriber(server_.address());
  ASSERT_TRUE(startSession(transcriber, server_, "both")) << transcriber.history();
  transcriber.send("cancel");
  EXPECT_EQ(transcriber.waitForExit(), 3);
  EXPECT_FALSE(transcriber.next(1s)) << transcriber.history();
}

TEST(LiveEndToEndWithoutServer, TheMicrophoneCannotStartAndTheProcessExitsTwo) {
  auto transcriber = liveTranscriber(kNoServer);
  transcriber.send("start en-US mic");
  auto error = transcriber.until("error", kStartTimeout);
  ASSERT_TRUE(error) << transcriber.history();
  EXPECT_EQ(*error, (Event{{"event", "error"},
                           {"message", "audio_engine_start_failed:Connection refused"}}));
  EXPECT_EQ(transcriber.waitForExit(), 2);
  EXPECT_TRUE(transcriber.seen("started").empty());
}

TEST(LiveEndToEndWithoutServer, SystemAudioCannotStartAndTheSessionGoesOn) {
  expectSystemAudioStartFails(kNoServer, "Connection refused");
}

TEST(PermissionModesEndToEnd, EachModeWritesExactlyOneLineAndExitsZero) {
  KAVRI_REQUIRE_PULSE_SERVER();
  auto server = *sharedPulseServer();
  std::optional<int> status;
  EXPECT_EQ(modeLines(server, "--probe", status),
            (std::vector<Event>{Event{{"speech", "authorized"}}}));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(modeLines(server, "--request-speech", status),
            (std::vector<Event>{Event{{"speech", "authorized"}}}));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(modeLines(server, "--prime-screen", status),
            (std::vector<Event>{Event{{"screen", "primed"}}}));
  EXPECT_EQ(status, 0);
}

TEST(PermissionModesEndToEnd, PrimingWithoutAServerIsDeniedWithItsDescription) {
  std::optional<int> status;
  EXPECT_EQ(
      modeLines(kNoServer, "--prime-screen", status),
      (std::vector<Event>{Event{{"screen", "denied"}, {"description", "Connection refused"}}}));
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace kavri
