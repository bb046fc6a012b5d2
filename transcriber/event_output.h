// The one channel through which the transcriber reports everything: JSON objects, one per line.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace kavri {

// An event is a JSON object built by the caller. Keys are never sorted for the host's sake; the
// host parses each line and must not rely on key order.
using Event = nlohmann::json;

// Written to standard error, byte for byte, when an event cannot be serialized.
inline constexpr char kJsonEncodeFailedLine[] =
    "{\"event\":\"error\",\"message\":\"json_encode_failed\"}\n";

// Exit status when the host has closed its end of the event output: nobody can hear us any more,
// so there is nothing left to do but end (and stop any capture with us).
inline constexpr int kOutputClosedExitStatus = 2;

class EventOutput {
 public:
  // fd: where lines go (standard output or the events FIFO); errorFd: where the fallback goes.
  explicit EventOutput(int fd, int errorFd = 2) : fd_(fd), errorFd_(errorFd) {}

  // Serializes on the caller's thread, then writes the whole line under the output lock, so
  // lines from different threads never interleave. Returns once the line is handed to the
  // output. Never throws.
  void emit(const Event& event);

  int fd() const { return fd_; }

 private:
  void writeAll(int fd, const char* data, size_t size);

  std::mutex writeLock_;
  int fd_;
  int errorFd_;
};

// While the events FIFO has no reader yet, its opening looks again this often.
inline constexpr std::chrono::milliseconds kEventsFifoOpenPoll{50};

// The descriptor events go to: the existing FIFO or file at `path` opened for writing (never
// created or truncated), or standard output when there is no path or it cannot be opened. On a
// FIFO this waits for the host to open the reading end; when hostAlive() says the host is gone
// meanwhile, nobody will ever read it and the process ends with kOutputClosedExitStatus.
int openEventOutput(const std::optional<std::string>& path, const std::function<bool()>& hostAlive,
                    std::chrono::milliseconds poll = kEventsFifoOpenPoll);

// Ends the process at once with the status, without running static destructors that threads
// still running may be using. Every line written before is complete: writes are unbuffered.
[[noreturn]] void exitProcess(int status);

// Process-wide output, set once at start-up before any other thread exists.
void setEventOutput(EventOutput* output);
EventOutput& eventOutput();

// emit/fatal on the process-wide output.
void emit(const Event& event);
[[noreturn]] void fatal(const std::string& message, int code = 2);

}  // namespace kavri
