// kavri-transcribe end to end: the real program, the real speech engine and a real PulseAudio
// server of each test's own (so that no other test's sound gets into the dictation), fed with
// recordings of real speech.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <thread>

#include "audio_test_support.h"
#include "event_output.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using testing::PrivatePulseServer;
using testing::Process;

// Loading the speech models, under a sanitizer on a busy machine.
constexpr auto kStartTimeout = 60s;
// The recordings are a few seconds long and play in real time.
constexpr auto kPlayTimeout = 30s;
// "stop" may take 0.6 + 4 + 8 + 8 seconds in the worst case.
constexpr auto kFinalTimeout = 40s;
constexpr auto kEventTimeout = 30s;
constexpr auto kExitTimeout = 15s;
constexpr char kNoServer[] = "unix:/nonexistent/kavri/native";

// One run of the transcriber, its events read as they come.
class Transcriber {
 public:
  Transcriber(const std::string& server, std::vector<std::string> arguments = {}) {
    std::vector<std::string> argv{KAVRI_TRANSCRIBE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Process::Options options;
    options.environment["PULSE_SERVER"] = server;
    options.pipeStdin = true;
    options.pipeStdout = true;
    process_ = std::make_unique<Process>(argv, options);
  }

  pid_t pid() const { return process_->pid(); }
  void send(const std::string& line) { process_->writeLine(line); }
  std::optional<int> waitExit(std::chrono::milliseconds timeout = kExitTimeout) {
    return process_->waitExit(timeout);
  }

  // The next event; a line that is not JSON fails the test.
  std::optional<Event> next(std::chrono::milliseconds timeout) {
    auto line = process_->readLine(timeout);
    if (!line) return std::nullopt;
    try {
      Event event = Event::parse(*line);
      seen_.push_back(event);
      return event;
    } catch (const nlohmann::json::exception&) {
      ADD_FAILURE() << "not a JSON line: " << *line;
      return std::nullopt;
    }
  }

  // Reads events until one has "event" equal to `name`.
  std::optional<Event> until(const std::string& name, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto event = next(left);
      if (!event) return std::nullopt;
      if (event->value("event", "") == name) return event;
    }
  }

  // Every event read so far with "event" equal to `name`.
  std::vector<Event> seen(const std::string& name) const {
    std::vector<Event> result;
    for (const auto& event : seen_) {
      if (event.value("event", "") == name) result.push_back(event);
    }
    return result;
  }

  std::string history() const {
    std::string text;
    for (const auto& event : seen_) text += event.dump() + "\n";
    return text;
  }

 private:
  std::unique_ptr<Process> process_;
  std::vector<Event> seen_;
};

// The permission modes: one line without "event", exit 0.
std::vector<Event> modeLines(const std::string& server, const std::string& flag,
                             std::optional<int>& status) {
  Transcriber transcriber(server, {flag});
  std::vector<Event> lines;
  while (auto event = transcriber.next(kEventTimeout)) lines.push_back(*event);
  status = transcriber.waitExit();
  return lines;
}

class LiveEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready());
    // An idle null sink's monitor sends its first audio only after about two seconds; endless
    // silence keeps both sinks running, so the first words of a recording are not lost.
    for (const char* sink : {"kavri_out", "kavri_mic_in"}) {
      keepAwake_.push_back(testing::playRaw(server_.address(), sink, "/dev/zero"));
    }
  }

  std::unique_ptr<Process> play(const std::string& sink, const std::string& recording) {
    return testing::playRaw(server_.address(), sink,
                            std::string(testing::kRecordingsDir) + recording);
  }

  PrivatePulseServer server_;
  std::vector<std::unique_ptr<Process>> keepAwake_;
};

// One source hears goforward played into `sink`: "started" as sent, partials of that speaker
// only, and the recording's words in "final".
void dictateGoForward(const std::string& address, const std::string& source,
                      const std::string& sink) {
  Transcriber transcriber(address);
  transcriber.send("start en-US " + source);
  auto started = transcriber.until("started", kStartTimeout);
  ASSERT_TRUE(started) << transcriber.history();
  EXPECT_EQ(*started, (Event{{"event", "started"}, {"locale", "en-US"}, {"source", source}}));
  ASSERT_TRUE(testing::waitForRecordStreams(address, transcriber.pid(), 1));

  auto player =
      testing::playRaw(address, sink, std::string(testing::kRecordingsDir) + "goforward.raw");
  ASSERT_TRUE(player->waitExit(kPlayTimeout));
  transcriber.send("stop");
  auto final = transcriber.until("final", kFinalTimeout);
  ASSERT_TRUE(final) << transcriber.history();
  EXPECT_EQ(transcriber.waitExit(), 0);

  EXPECT_NE(testing::lowercase((*final)["text"]).find("go forward ten meters"), std::string::npos)
      << final->dump();
  EXPECT_EQ((*final)["sources"], (std::vector<std::string>{source}));
  auto partials = transcriber.seen("partial");
  ASSERT_FALSE(partials.empty()) << transcriber.history();
  for (const auto& partial : partials) EXPECT_EQ(partial["speaker"], source);
  EXPECT_TRUE(transcriber.seen("error").empty()) << transcriber.history();
}

TEST_F(LiveEndToEnd, SystemAudioGivesPartialsAndTheFinalText) {
  dictateGoForward(server_.address(), "system", "kavri_out");
}

TEST_F(LiveEndToEnd, TheMicrophoneGivesPartialsAndTheFinalText) {
  dictateGoForward(server_.address(), "mic", "kavri_mic_in");
}

TEST_F(LiveEndToEnd, BothGiveTheMicrophoneLineThenTheSystemLine) {
  Transcriber transcriber(server_.address());
  transcriber.send("start en-US both");
  ASSERT_TRUE(transcriber.until("started", kStartTimeout)) << transcriber.history();
  ASSERT_TRUE(testing::waitForRecordStreams(server_.address(), transcriber.pid(), 2));

  auto mic = play("kavri_mic_in", "goforward.raw");
  auto system = play("kavri_out", "something.raw");
  ASSERT_TRUE(mic->waitExit(kPlayTimeout));
  ASSERT_TRUE(system->waitExit(kPlayTimeout));
  transcriber.send("stop");
  auto final = transcriber.until("final", kFinalTimeout);
  ASSERT_TRUE(final) << transcriber.history();
  EXPECT_EQ(transcriber.waitExit(), 0);

  std::string text = testing::lowercase((*final)["text"]);
  auto newline = text.find('\n');
  ASSERT_NE(newline, std::string::npos) << final->dump();
  EXPECT_EQ(text.find('\n', newline + 1), std::string::npos) << final->dump();
  EXPECT_NE(text.substr(0, newline).find("go forward ten meters"), std::string::npos)
      << final->dump();
  EXPECT_NE(text.substr(newline + 1).find("do something"), std::string::npos) << final->dump();
  EXPECT_EQ((*final)["sources"], (std::vector<std::string>{"mic", "system"}));
}

TEST_F(LiveEndToEnd, AServerKilledMidSessionStopsSystemAudioAndStopKeepsTheTextSoFar) {
  Transcriber transcriber(server_.address());
  transcriber.send("start en-US system");
  ASSERT_TRUE(transcriber.until("started", kStartTimeout)) << transcriber.history();
  ASSERT_TRUE(testing::waitForRecordStreams(server_.address(), transcriber.pid(), 1));

  auto player = play("kavri_out", "goforward.raw");
  ASSERT_TRUE(transcriber.until("partial", kEventTimeout)) << transcriber.history();
  server_.kill();
  auto stopped = transcriber.until("error", kEventTimeout);
  ASSERT_TRUE(stopped) << transcriber.history();
  EXPECT_EQ(*stopped, (Event{{"event", "error"},
                             {"message", "system_audio_stopped"},
                             {"description", "Connection terminated"}}));

  transcriber.send("stop");
  auto final = transcriber.until("final", kFinalTimeout);
  ASSERT_TRUE(final) << transcriber.history();
  EXPECT_EQ(transcriber.waitExit(), 0);
  EXPECT_FALSE(std::string((*final)["text"]).empty()) << transcriber.history();
  EXPECT_EQ(transcriber.seen("error").size(), 1u) << transcriber.history();
}

TEST_F(LiveEndToEnd, NoOutputDeviceToCaptureIsReportedAndTheSessionGoesOn) {
  keepAwake_.clear();
  ASSERT_TRUE(server_.pactl({"unload-module", "module-remap-source"}));
  ASSERT_TRUE(server_.pactl({"unload-module", "module-null-sink"}));
  Transcriber transcriber(server_.address());
  transcriber.send("start en-US system");
  auto error = transcriber.until("error", kStartTimeout);
  ASSERT_TRUE(error) << transcriber.history();
  EXPECT_EQ(*error, (Event{{"event", "error"},
                           {"speaker", "system"},
                           {"message", "system_audio_start_failed"},
                           {"description", "no_audio_output"}}));
  transcriber.send("stop");
  ASSERT_TRUE(transcriber.until("final", kFinalTimeout)) << transcriber.history();
  EXPECT_EQ(transcriber.waitExit(), 0);
}

TEST_F(LiveEndToEnd, CancelWritesNothingMoreAndExitsThree) {
  Transcriber transcriber(server_.address());
  transcriber.send("start en-US both");
  ASSERT_TRUE(transcriber.until("started", kStartTimeout)) << transcriber.history();
  ASSERT_TRUE(testing::waitForRecordStreams(server_.address(), transcriber.pid(), 2));
  transcriber.send("cancel");
  EXPECT_EQ(transcriber.waitExit(), 3);
  EXPECT_FALSE(transcriber.next(1s)) << transcriber.history();
}

TEST(LiveEndToEndWithoutServer, TheMicrophoneCannotStartAndTheProcessExitsTwo) {
  Transcriber transcriber(kNoServer);
  transcriber.send("start en-US mic");
  auto error = transcriber.until("error", kStartTimeout);
  ASSERT_TRUE(error) << transcriber.history();
  EXPECT_EQ(*error, (Event{{"event", "error"},
                           {"message", "audio_engine_start_failed:Connection refused"}}));
  EXPECT_EQ(transcriber.waitExit(), 2);
  EXPECT_TRUE(transcriber.seen("started").empty());
}

TEST(LiveEndToEndWithoutServer, SystemAudioCannotStartAndTheSessionGoesOn) {
  Transcriber transcriber(kNoServer);
  transcriber.send("start en-US system");
  auto error = transcriber.until("error", kStartTimeout);
  ASSERT_TRUE(error) << transcriber.history();
  EXPECT_EQ(*error, (Event{{"event", "error"},
                           {"speaker", "system"},
                           {"message", "system_audio_start_failed"},
                           {"description", "Connection refused"}}));
  transcriber.send("stop");
  auto final = transcriber.until("final", kFinalTimeout);
  ASSERT_TRUE(final) << transcriber.history();
  EXPECT_EQ((*final)["text"], "");
  EXPECT_EQ(transcriber.waitExit(), 0);
  EXPECT_EQ(transcriber.seen("started").size(), 1u);
}

TEST(PermissionModesEndToEnd, EachModeWritesExactlyOneLineAndExitsZero) {
  KAVRI_REQUIRE_PULSE_SERVER();
  auto server = *testing::sharedPulseServer();
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
