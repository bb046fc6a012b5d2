// Audio files are outside input: whatever bytes a file holds, the reader either refuses it with a
// description or yields 16 kHz samples in bounded pieces until it is used up.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "speech/audio_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = ::memfd_create("fuzz-audio", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  std::string error;
  auto reader = kavri::speech::AudioFileReader::open("/proc/self/fd/" + std::to_string(fd), error);
  if (!reader) {
    if (error.empty()) std::abort();
  } else {
    std::vector<int16_t> samples;
    // Each piece is small, and the file ends; a broken file must not read forever.
    for (int pieces = 0; pieces < 100000; ++pieces) {
      samples.clear();
      bool more = reader->read(samples);
      if (samples.size() > (1u << 20)) std::abort();
      if (!more) break;
    }
  }
  ::close(fd);
  return 0;
}
