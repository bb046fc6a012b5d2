// Reads an audio file of any common format, rate and channel count as the engine's 16 kHz mono
// samples, a piece at a time, so that long recordings never sit in memory whole.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kavri::speech {

class AudioFileReader {
 public:
  // Null, with a description of the cause in `error`, when the file cannot be decoded (a
  // directory, an unknown format, no audio in it).
  static std::unique_ptr<AudioFileReader> open(const std::string& path, std::string& error);
  virtual ~AudioFileReader() = default;

  // Appends the next piece of 16 kHz samples to `out`; false once the file is used up (the last
  // samples may come with that false).
  virtual bool read(std::vector<int16_t>& out) = 0;
};

}  // namespace kavri::speech
