// Audio servers for tests: the shared PulseAudio server that scripts/test starts, and private
// ones (scripts/pulse-server) for tests that kill, restart or change their server. Both have a
// null sink "kavri_out" as the default output and a virtual microphone fed by the null sink
// "kavri_mic_in".
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/process.h"

namespace kavri::testing {

inline constexpr std::chrono::milliseconds kPulseServerTimeout{15'000};
inline constexpr std::chrono::milliseconds kRecordStreamsTimeout{20'000};

// The server that scripts/test started for this run, or none (tests then skip).
std::optional<std::string> sharedPulseServer();

#define KAVRI_REQUIRE_PULSE_SERVER()                                                       \
  do {                                                                                     \
    if (!::kavri::testing::sharedPulseServer())                                            \
      GTEST_SKIP() << "PULSE_SERVER is not set: run through scripts/test, which starts a " \
                      "private PulseAudio server";                                         \
  } while (0)

// pactl against a server: its output, or none when it failed.
std::optional<std::string> pactl(const std::string& server,
                                 const std::vector<std::string>& arguments);
// The record streams that process pid has open on the server; -1 when the server does not answer.
int recordStreamsOf(const std::string& server, pid_t pid);
// Waits until the process has exactly `count` record streams open on the server.
bool waitForRecordStreams(const std::string& server, pid_t pid, int count,
                          std::chrono::milliseconds timeout = kRecordStreamsTimeout);
// Plays a headerless s16 16 kHz mono file into a sink of a server.
std::unique_ptr<ChildProcess> playRaw(const std::string& server, const std::string& sink,
                                      const std::string& path);

// Stopped, and its folder removed, when destroyed.
class PrivatePulseServer {
 public:
  PrivatePulseServer();  // starts it
  ~PrivatePulseServer();
  PrivatePulseServer(const PrivatePulseServer&) = delete;
  PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

  bool ready() const { return ready_; }
  const std::string& address() const { return address_; }
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  // Starts it (again, at the same address, as a crashed server is respawned) and waits until it
  // answers.
  bool start();
  // SIGKILL: no goodbye to its clients.
  void kill();

  std::optional<std::string> pactl(const std::vector<std::string>& arguments) const;
  int recordStreamsOf(pid_t pid) const;
  bool waitForRecordStreams(pid_t pid, int count,
                            std::chrono::milliseconds timeout = kRecordStreamsTimeout) const;
  // An idle null sink's monitor sends its first audio only after about two seconds; endless
  // silence keeps both sinks running, so the first words of a recording are not lost.
  void keepSinksAwake();
  void letSinksSleep() { awake_.clear(); }

 private:
  std::string dir_;
  std::string address_;
  std::unique_ptr<ChildProcess> process_;
  std::vector<std::unique_ptr<ChildProcess>> awake_;
  bool ready_ = false;
};

}  // namespace kavri::testing
