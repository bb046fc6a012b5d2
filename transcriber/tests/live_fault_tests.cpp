// Faults during a live session, through the real program, the real speech engine and a real
// PulseAudio server of each test's own (never the shared one): the server dies and comes back,
// the host stops listening.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <thread>

#include "audio_test_support.h"
#include "child_process.h"
#include "event_output.h"
#include "host_process.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::Process;

// Loading the speech models, under a sanitizer on a busy machine.
constexpr auto kStartTimeout = 60s;
constexpr auto kPlayTimeout = 30s;
constexpr auto kEventTimeout = 30s;
// "stop" may take 0.6 + 4 + 8 + 8 seconds in the worst case.
constexpr auto kFinalTimeout = 40s;
constexpr auto kExitTimeout = 15s;
constexpr auto kServerTimeout = 15s;

// scripts/pulse-server in a folder of the test's own, so that it can be killed and started again
// at the same address, the way a user's audio server crashes and is respawned.
class RestartableServer {
 public:
  RestartableServer() {
    std::string pattern = std::filesystem::temp_directory_path() / "kavri-fault-pulse.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return;
    dir_ = pattern;
    address_ = "unix:" + dir_ + "/native";
    start();
  }
  ~RestartableServer() {
    if (process_) {
      process_->signal(SIGTERM);
      if (!process_->waitExit(5s)) process_->signal(SIGKILL);
      process_->waitExit(5s);
    }
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  // Starts it and waits until it answers.
  bool start() {
    process_ = std::make_unique<Process>(
        std::vector<std::string>{std::string(KAVRI_SOURCE_DIR) + "/scripts/pulse-server", dir_});
    for (auto deadline = std::chrono::steady_clock::now() + kServerTimeout;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms)) {
      if (pactl({"info"})) return true;
      if (process_->waitExit(0ms)) return false;
    }
    return false;
  }
  // SIGKILL: no goodbye to its clients.
  void kill() {
    process_->signal(SIGKILL);
    process_->waitExit(5s);
  }
  std::optional<std::string> pactl(std::vector<std::string> arguments) {
    return testing::pactl(address_, std::move(arguments));
  }
  const std::string& address() const { return address_; }

  int recordStreamsOf(pid_t pid) { return testing::recordStreamsOf(address_, pid); }
  bool waitForRecordStreams(pid_t pid, int count) {
    return testing::waitForRecordStreams(address_, pid, count, kEventTimeout);
  }

 private:
  std::string dir_;
  std::string address_;
  std::unique_ptr<Process> process_;
};

// The program on the server, its events read as they come.
class LiveRun {
 public:
  explicit LiveRun(const std::string& server) {
    // The child takes the environment of the moment it starts.
    ::setenv("PULSE_SERVER", server.c_str(), 1);
    child_ = std::make_unique<ChildProcess>(std::vector<std::string>{KAVRI_TRANSCRIBE_PATH});
  }
  ChildProcess& child() { return *child_; }
  pid_t pid() const { return child_->pid(); }
  void send(const std::string& line) { child_->write(line + "\n"); }

  std::optional<Event> next(std::chrono::milliseconds timeout) {
    auto line = child_->readLine(timeout);
    if (!line) return std::nullopt;
    Event event = Event::parse(*line, nullptr, false);
    if (event.is_discarded()) {
      ADD_FAILURE() << "not a JSON line: " << *line;
      return std::nullopt;
    }
    seen_.push_back(event);
    return event;
  }
  // Reads until an event satisfies `wanted`.
  std::optional<Event> until(const std::function<bool(const Event&)>& wanted,
                             std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto event = next(left);
      if (!event) return std::nullopt;
      if (wanted(*event)) return event;
    }
  }
  std::optional<Event> until(const std::string& name, std::chrono::milliseconds timeout) {
    return until([&name](const Event& event) { return event.value("event", "") == name; }, timeout);
  }
  size_t count(const std::function<bool(const Event&)>& which) const {
    return static_cast<size_t>(std::count_if(seen_.begin(), seen_.end(), which));
  }
  std::string history() const {
    std::string text;
    for (const auto& event : seen_) text += event.dump() + "\n";
    return text;
  }

 private:
  std::unique_ptr<ChildProcess> child_;
  std::vector<Event> seen_;
};

bool isPartialWith(const Event& event, const std::string& speaker, const std::string& word) {
  return event.value("event", "") == "partial" && event.value("speaker", "") == speaker &&
         testing::lowercase(event.value("text", "")).find(word) != std::string::npos;
}

class LiveFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.pactl({"info"})) << "the private audio server did not start";
    keepAwake();
  }
  // An idle null sink's monitor sends its first audio only after about two seconds; endless
  // silence keeps both sinks running, so the first words of a recording are not lost.
  void keepAwake() {
    keepAwake_.clear();
    for (const char* sink : {"kavri_out", "kavri_mic_in"}) {
      keepAwake_.push_back(testing::playRaw(server_.address(), sink, "/dev/zero"));
    }
  }
  std::unique_ptr<Process> play(const std::string& sink, const std::string& recording) {
    return testing::playRaw(server_.address(), sink,
                            std::string(testing::kRecordingsDir) + recording);
  }

  RestartableServer server_;
  std::vector<std::unique_ptr<Process>> keepAwake_;
};

TEST_F(LiveFaults, AServerThatDiesAndComesBackStopsSystemAudioOnceAndStopKeepsEveryWordBefore) {
  LiveRun run(server_.address());
  run.send("start en-US both");
  ASSERT_TRUE(run.until("started", kStartTimeout)) << run.history();
  ASSERT_TRUE(server_.waitForRecordStreams(run.pid(), 2));

  auto mic = play("kavri_mic_in", "goforward.raw");
  auto system = play("kavri_out", "something.raw");
  ASSERT_TRUE(mic->waitExit(kPlayTimeout));
  ASSERT_TRUE(system->waitExit(kPlayTimeout));
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
  auto stopped = run.until("error", kEventTimeout);
  ASSERT_TRUE(stopped) << run.history();
  EXPECT_EQ(stopped->value("message", ""), "system_audio_stopped") << run.history();
  EXPECT_FALSE(stopped->contains("speaker"));

  ASSERT_TRUE(server_.start());
  keepAwake();
  // The session goes on across the outage: the process is still there and still takes commands.
  EXPECT_EQ(run.child().waitForExit(1s), std::nullopt) << run.history();
  run.send("stop");
  auto final = run.until("final", kFinalTimeout);
  ASSERT_TRUE(final) << run.history();
  EXPECT_EQ(run.child().waitForExit(kExitTimeout), 0);

  EXPECT_EQ(
      run.count([](const Event& e) { return e.value("message", "") == "system_audio_stopped"; }),
      1u)
      << run.history();
  // The microphone has no event of its own for a lost device: it simply hears nothing more, and
  // its words so far stay. Nothing else is reported.
  EXPECT_EQ(run.count([](const Event& e) { return e.value("event", "") == "error"; }), 1u)
      << run.history();
  std::string text = testing::lowercase(final->value("text", ""));
  auto newline = text.find('\n');
  ASSERT_NE(newline, std::string::npos) << final->dump();
  EXPECT_NE(text.substr(0, newline).find("go forward ten meters"), std::string::npos)
      << final->dump();
  EXPECT_NE(text.substr(newline + 1).find("something"), std::string::npos) << final->dump();
  EXPECT_EQ((*final)["sources"], (std::vector<std::string>{"mic", "system"}));
}

// The host stops reading while partials flow: the program ends with status 2, not by a signal,
// and leaves no record stream behind on the server.
TEST_F(LiveFaults, AHostThatStopsListeningMidSessionLeavesNothingCapturing) {
  LiveRun run(server_.address());
  run.send("start en-US both");
  ASSERT_TRUE(run.until("started", kStartTimeout)) << run.history();
  ASSERT_TRUE(server_.waitForRecordStreams(run.pid(), 2));
  // Seven seconds of speech: partials go on coming after the host has gone.
  auto mic = play("kavri_mic_in", "librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
  ASSERT_TRUE(run.until("partial", kEventTimeout)) << run.history();
  run.child().closeStdout();
  EXPECT_EQ(run.child().waitForExit(kExitTimeout), 2) << "128 + n means signal n";
  EXPECT_TRUE(server_.waitForRecordStreams(run.pid(), 0));
}

// The host dies while a session captures and its input is at its end: the session is cancelled
// and the program ends with status 2, leaving nothing recording on the server.
TEST_F(LiveFaults, AHostThatDiesMidSessionLeavesNothingCapturing) {
  ::setenv("PULSE_SERVER", server_.address().c_str(), 1);
  auto outcome = testing::runUntilTheHostDies(KAVRI_TRANSCRIBE_PATH, "start en-US both\n");
  EXPECT_TRUE(outcome.sawStarted) << outcome.output;
  EXPECT_EQ(outcome.exitStatus, 2) << outcome.output;
  EXPECT_EQ(outcome.output.find("\"final\""), std::string::npos) << outcome.output;
  EXPECT_EQ(server_.recordStreamsOf(outcome.pid), 0);
}

}  // namespace
}  // namespace kavri
