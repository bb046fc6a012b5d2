#include "event_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>

namespace {
// LeakSanitizer's own exit status.
constexpr int kLeaksFoundExitStatus = 23;
}  // namespace
#endif

namespace kavri {

void EventOutput::emit(const Event& event) {
  std::string line;
  try {
    line = event.dump();
  } catch (const nlohmann::json::exception&) {
    // The event is lost, the process goes on; the fallback bypasses the output lock.
    writeAll(errorFd_, kJsonEncodeFailedLine, sizeof(kJsonEncodeFailedLine) - 1);
    return;
  } catch (const std::bad_alloc&) {
    writeAll(errorFd_, kJsonEncodeFailedLine, sizeof(kJsonEncodeFailedLine) - 1);
    return;
  }
  line.push_back('\n');
  std::lock_guard<std::mutex> hold(writeLock_);
  writeAll(fd_, line.data(), line.size());
}

void EventOutput::writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      // EPIPE and the like: the host has gone away. SIGPIPE is ignored at start-up so that we
      // get here instead of dying in the middle of a line.
      if (fd == fd_) exitProcess(kOutputClosedExitStatus);
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

int openEventOutput(const std::optional<std::string>& path, const std::function<bool()>& hostAlive,
                    std::chrono::milliseconds poll) {
  if (!path) return STDOUT_FILENO;
  for (;;) {
    // Without O_NONBLOCK a FIFO nobody reads would hold us in open() for ever, even after the
    // host is gone; non-blocking, a missing reader is ENXIO and we can look for the host.
    int fd = ::open(path->c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      int flags = ::fcntl(fd, F_GETFL);
      // Writes must block while the host is slow to read, never fail with EAGAIN.
      if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) return fd;
      ::close(fd);
      return STDOUT_FILENO;
    }
    if (errno == EINTR) continue;
    if (errno != ENXIO) return STDOUT_FILENO;
    if (hostAlive && !hostAlive()) exitProcess(kOutputClosedExitStatus);
    std::this_thread::sleep_for(poll);
  }
}

void exitProcess(int status) {
#if defined(__SANITIZE_ADDRESS__)
  // _Exit skips LeakSanitizer's check at exit; run it here so that sanitizer builds of the
  // program (and of the tests that run it) still report what a session leaked, and fail.
  if (__lsan_do_recoverable_leak_check() != 0) std::_Exit(kLeaksFoundExitStatus);
#endif
  std::_Exit(status);
}

namespace {
EventOutput* gOutput = nullptr;
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

void fatal(const std::string& message, int code) {
  emit(Event{{"event", "error"}, {"message", message}});
  exitProcess(code);
}

}  // namespace kavri
