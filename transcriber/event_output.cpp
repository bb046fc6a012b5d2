#include "event_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace kavri {
namespace {

#if defined(__SANITIZE_ADDRESS__)
// LeakSanitizer's own exit status.
constexpr int kLeaksFoundExitStatus = 23;
#endif

// The end itself, without a look at the output: for the writer of a line that cannot be written.
[[noreturn]] void endProcess(int status) {
#if defined(__SANITIZE_ADDRESS__)
  // _Exit skips LeakSanitizer's check at exit; run it here so that sanitizer builds of the
  // program (and of the tests that run it) still report what a session leaked, and fail.
  if (__lsan_do_recoverable_leak_check() != 0) std::_Exit(kLeaksFoundExitStatus);
#endif
  std::_Exit(status);
}

}  // namespace

void EventOutput::emit(const Event& event) {
  writeLine(event, false);
}

void EventOutput::emitLast(const Event& event) {
  writeLine(event, true);
}

void EventOutput::writeLine(const Event& event, bool last) {
  std::string line;  // a serialized event is never empty
  try {
    line = event.dump() + '\n';
  } catch (const nlohmann::json::exception&) {
  } catch (const std::bad_alloc&) {
  }
  if (line.empty()) {
    // The event is lost; the fallback bypasses the output lock and the process goes on.
    writeAll(errorFd_, kJsonEncodeFailedLine, sizeof(kJsonEncodeFailedLine) - 1);
    if (last) close();
    return;
  }
  {
    std::unique_lock<std::mutex> hold(stateLock_);
    lineDone_.wait(hold, [this] { return !writing_; });
    if (closed_) return;
    writing_ = true;
  }
  writeAll(fd_, line.data(), line.size());
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    writing_ = false;
    if (last) closed_ = true;
  }
  lineDone_.notify_all();
}

bool EventOutput::close() {
  std::unique_lock<std::mutex> hold(stateLock_);
  if (!lineDone_.wait_for(hold, lineInProgressWait_, [this] { return !writing_; })) return false;
  closed_ = true;
  return true;
}

bool EventOutput::readerGone() const {
  struct stat status {};
  if (::fstat(fd_, &status) != 0) return false;
  if (!S_ISFIFO(status.st_mode) && !S_ISSOCK(status.st_mode)) return false;
  // No events asked for: only the conditions that poll always reports.
  pollfd output{fd_, 0, 0};
  if (::poll(&output, 1, 0) != 1) return false;
  return (output.revents & (POLLERR | POLLHUP)) != 0;
}

void EventOutput::writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      // EPIPE and the like: the host has gone away. SIGPIPE is ignored at start-up so that we
      // get here instead of dying in the middle of a line.
      if (fd == fd_) endProcess(kOutputClosedExitStatus);
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

int openEventOutput(const std::optional<std::string>& path) {
  if (!path) return STDOUT_FILENO;
  for (;;) {
    int fd = ::open(path->c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != EINTR) return STDOUT_FILENO;
  }
}

namespace {
EventOutput* gOutput = nullptr;
}

void exitProcess(int status) {
  if (gOutput != nullptr) gOutput->close();
  endProcess(status);
}

void setEventOutput(EventOutput* output) {
  gOutput = output;
}

EventOutput& eventOutput() {
  return *gOutput;
}

void emit(const Event& event) {
  gOutput->emit(event);
}

void emitLast(const Event& event) {
  gOutput->emitLast(event);
}

void fatal(const std::string& message, int code) {
  emitLast(Event{{"event", "error"}, {"message", message}});
  exitProcess(code);
}

}  // namespace kavri
