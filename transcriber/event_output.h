// The one channel through which the transcriber reports everything: JSON objects, one per line.
#pragma once

#include <chrono>
#include <condition_variable>
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

// How long the way out waits for a line that another thread is writing. While the host reads, a
// line takes far less; a host that has stopped reading without closing the output must not keep
// the process from ending for ever (the line is then cut, but nobody reads it any more).
inline constexpr std::chrono::milliseconds kLineInProgressWait{2000};

class EventOutput {
 public:
  // fd: where lines go (standard output or the events FIFO); errorFd: where the fallback goes.
  explicit EventOutput(int fd, int errorFd = 2,
                       std::chrono::milliseconds lineInProgressWait = kLineInProgressWait)
      : fd_(fd), errorFd_(errorFd), lineInProgressWait_(lineInProgressWait) {}

  // Serializes on the caller's thread, then writes the whole line under the output lock, so
  // lines from different threads never interleave. Returns once the line is handed to the
  // output. Never throws. Writes nothing once the output is closed.
  void emit(const Event& event);
  // emit, then closes the output in the same hold of the lock: for a line that the end of the
  // process follows ("final", an error the process ends on), so that a line of another thread,
  // such as a late "partial", can never come after it.
  void emitLast(const Event& event);
  // On the way out: waits for a line in progress (up to the wait given at construction) so that
  // it is not cut, and lets no line begin after it. False when a line was still being written at
  // the end of the wait; the output then stays open.
  bool close();

  // Whether the reader of a pipe, FIFO or socket output has gone away (seen without writing:
  // Linux reports POLLERR on a pipe whose reading end is closed, POLLHUP on a socket whose peer
  // is). A terminal, a regular file or a device never counts as gone.
  bool readerGone() const;

  int fd() const { return fd_; }

 private:
  void writeLine(const Event& event, bool last);
  void writeAll(int fd, const char* data, size_t size);

  // The output lock is `writing`: one line at a time, each written whole. It is a flag under a
  // mutex rather than the mutex itself so that the way out can stop waiting for a line stuck
  // behind a host that no longer reads.
  std::mutex stateLock_;
  std::condition_variable lineDone_;
  bool writing_ = false;  // guarded by stateLock_
  bool closed_ = false;   // guarded by stateLock_
  int fd_;
  int errorFd_;
  std::chrono::milliseconds lineInProgressWait_;
};

// The descriptor events go to: the existing FIFO or file at `path` opened for writing (never
// created or truncated), or standard output when there is no path or it cannot be opened. On a
// FIFO this waits until the host opens the reading end: a reader that has not come yet is not a
// reader gone, and a host that never comes leaves the process waiting here, before anything is
// loaded or captured.
int openEventOutput(const std::optional<std::string>& path);

// Ends the process at once with the status, without running static destructors that threads
// still running may be using. A line another thread is writing on the process-wide output is
// finished first, and none is begun after.
[[noreturn]] void exitProcess(int status);

// Process-wide output, set once at start-up before any other thread exists.
void setEventOutput(EventOutput* output);
EventOutput& eventOutput();

// emit/emitLast/fatal on the process-wide output.
void emit(const Event& event);
void emitLast(const Event& event);
[[noreturn]] void fatal(const std::string& message, int code = 2);

}  // namespace kavri
