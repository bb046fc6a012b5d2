// A buffer of PCM audio frames in the format of the source that captured it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kavri::audio {

enum class SampleFormat : uint8_t {
  u8,       // unsigned 8-bit
  s16,      // signed 16-bit, native byte order
  s24,      // signed 24-bit packed in 3 bytes, native byte order
  s32,      // signed 32-bit, native byte order
  float32,  // IEEE float in [-1, 1], native byte order
};

size_t bytesPerSample(SampleFormat format);

// Frames are always interleaved: one frame holds one sample per channel.
struct AudioFormat {
  SampleFormat sampleFormat = SampleFormat::s16;
  double sampleRate = 16000.0;
  uint32_t channels = 1;

  size_t bytesPerFrame() const { return bytesPerSample(sampleFormat) * channels; }
  bool operator==(const AudioFormat&) const = default;
};

class PcmBuffer {
 public:
  PcmBuffer(AudioFormat format, uint32_t frameCapacity)
      : format_(format), frameCapacity_(frameCapacity), data_(format.bytesPerFrame() * frameCapacity) {}

  const AudioFormat& format() const { return format_; }
  uint32_t frameCapacity() const { return frameCapacity_; }
  uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity: a buffer never claims more frames than it holds.
  void setFrameLength(uint32_t frames) { frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_; }

  std::byte* data() { return data_.data(); }
  const std::byte* data() const { return data_.data(); }
  size_t byteCapacity() const { return data_.size(); }
  size_t byteLength() const { return static_cast<size_t>(frameLength_) * format_.bytesPerFrame(); }

 private:
  AudioFormat format_;
  uint32_t frameCapacity_;
  uint32_t frameLength_ = 0;
  std::vector<std::byte> data_;
};

// Buffers are handed from capture threads to recognition without copying; nobody writes to a
// buffer once it has been handed on.
using PcmBufferPtr = std::shared_ptr<const PcmBuffer>;

inline size_t bytesPerSample(SampleFormat format) {
  switch (format) {
    case SampleFormat::u8: return 1;
    case SampleFormat::s16: return 2;
    case SampleFormat::s24: return 3;
    case SampleFormat::s32: return 4;
    case SampleFormat::float32: return 4;
  }
  return 0;
}

}  // namespace kavri::audio
