#include "event_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

void exitProcess(int status) { std::_Exit(status); }

namespace {
EventOutput* gOutput = nullptr;
}

void setEventOutput(EventOutput* output) { gOutput = output; }

EventOutput& eventOutput() { return *gOutput; }

void emit(const Event& event) { gOutput->emit(event); }

void fatal(const std::string& message, int code) {
  emit(Event{{"event", "error"}, {"message", message}});
  exitProcess(code);
}

}  // namespace kavri
