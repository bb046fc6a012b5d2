// Events holding arbitrary strings: every line is either one complete JSON object that parses
// back to the same event, or the fixed fallback on the error output and nothing on the output.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "event_output.h"

namespace {

std::string drain(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;  // pipes hold 64 KiB; the line must fit without a reader
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t half = size / 2;

  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) std::abort();
  {
    kavri::EventOutput output(out[1], err[1]);
    kavri::Event event{{"event", "partial"},
                       {"speaker", text.substr(0, half)},
                       {"text", text.substr(half)},
                       {"segments", kavri::Event::array({{{"text", text}, {"start", 0.5}}})}};
    output.emit(event);
    ::close(out[1]);
    ::close(err[1]);
    std::string line = drain(out[0]);
    std::string fallback = drain(err[0]);
    ::close(out[0]);
    ::close(err[0]);

    if (line.empty()) {
      if (fallback != kavri::kJsonEncodeFailedLine) std::abort();
    } else {
      if (!fallback.empty()) std::abort();
      if (line.back() != '\n' || std::memchr(line.data(), '\n', line.size() - 1)) std::abort();
      if (kavri::Event::parse(line) != event) std::abort();
    }
  }
  return 0;
}
