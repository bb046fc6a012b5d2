// Helpers for tests that run against a real PulseAudio server: child processes with deadlines,
// private servers, tones to play, and what we can measure in captured audio.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/pcm_buffer.h"

namespace kavri::testing {

using namespace std::chrono_literals;

// The server that scripts/test started for this run, or none (tests then skip).
std::optional<std::string> sharedPulseServer();

#define KAVRI_REQUIRE_PULSE_SERVER()                                                       \
  do {                                                                                     \
    if (!::kavri::testing::sharedPulseServer())                                            \
      GTEST_SKIP() << "PULSE_SERVER is not set: run through scripts/test, which starts a " \
                      "private PulseAudio server";                                         \
  } while (0)

// A child process started without a shell. Killed and reaped when destroyed if still running.
class Process {
 public:
  struct Options {
    // Variables to set (or, with no value, to remove) in the child's environment.
    std::map<std::string, std::optional<std::string>> environment;
    bool pipeStdin = false;
    bool pipeStdout = false;
    bool silenceStderr = true;
  };
  Process(const std::vector<std::string>& argv, const Options& options);
  Process(const std::vector<std::string>& argv) : Process(argv, Options{}) {}
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The exit status, or none when it has not ended within the timeout. -1 when killed by a
  // signal.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  void signal(int sig);

  void writeLine(const std::string& line);
  void closeStdin();
  // The next line of standard output, or none at end of output or when the timeout passes.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int exitStatus_ = 0;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string pending_;
};

// Runs a command to its end; its standard output, or none when it failed or took too long.
std::optional<std::string> runCommand(const std::vector<std::string>& argv,
                                      std::chrono::milliseconds timeout = 10s);

// A PulseAudio server of the test's own (scripts/pulse-server in a temporary folder), for tests
// that kill or change the server. Stopped and removed when destroyed.
class PrivatePulseServer {
 public:
  PrivatePulseServer();
  ~PrivatePulseServer();
  bool ready() const { return ready_; }
  const std::string& address() const { return address_; }
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  // Kills it at once (SIGKILL) and reaps it.
  void kill();
  // pactl against this server.
  std::optional<std::string> pactl(std::vector<std::string> arguments);

 private:
  std::string dir_;
  std::string address_;
  std::unique_ptr<Process> process_;
  bool ready_ = false;
};

// pactl against a server.
std::optional<std::string> pactl(const std::string& server, std::vector<std::string> arguments);

// The speech engine's own test recordings (Debian's pocketsphinx-testdata).
inline constexpr char kRecordingsDir[] = "/usr/share/pocketsphinx/test/data/";

// The record streams that process pid has open on the server; -1 when the server does not answer.
int recordStreamsOf(const std::string& server, pid_t pid);
// Waits until the process has exactly `count` record streams open on the server.
bool waitForRecordStreams(const std::string& server, pid_t pid, int count,
                          std::chrono::milliseconds timeout = 20s);

// ASCII lower case, for comparing recognised text with a transcript.
std::string lowercase(std::string text);

// A raw file of a sine tone (signed 16-bit, 16 kHz, mono) in a temporary folder, removed when
// destroyed.
class ToneFile {
 public:
  static constexpr double kRate = 16000.0;
  ToneFile(double frequency, std::chrono::milliseconds duration, double amplitude = 0.5);
  ~ToneFile();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Plays a raw s16 16 kHz mono file into a sink of a server with pacat.
std::unique_ptr<Process> playRaw(const std::string& server, const std::string& sink,
                                 const std::string& path);

// Channel 0 of interleaved frames, as numbers in [-1, 1].
std::vector<float> firstChannel(audio::AudioFormat format, const std::byte* data, size_t frames);

// Collects captured audio from any thread and tells what it sounds like.
class AudioCollector {
 public:
  void add(audio::AudioFormat format, const std::byte* data, size_t frames);
  size_t deliveries() const;
  // Waits until `done` holds (checked under the collector's lock on every delivery).
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  bool waitForDeliveries(size_t count, std::chrono::milliseconds timeout);
  bool waitForLoudSeconds(double seconds, std::chrono::milliseconds timeout);
  // Seconds of audio whose level is clearly above silence.
  double loudSeconds() const;
  // The frequency of the loud part, from its zero crossings; 0 when nothing loud arrived.
  double loudFrequency() const;

 private:
  double loudSecondsLocked() const;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  double rate_ = 0;
  size_t deliveries_ = 0;
  std::vector<float> samples_;
};

}  // namespace kavri::testing
