#include "speech/mono_mix.h"

#include <cmath>
#include <cstring>

namespace kavri::speech {

namespace {

template <typename Sample>
Sample load(const std::byte* at) {
  Sample value;
  std::memcpy(&value, at, sizeof(Sample));
  return value;
}

float sampleAt(const std::byte* at, audio::SampleFormat format) {
  using audio::SampleFormat;
  switch (format) {
    case SampleFormat::u8:
      return (static_cast<float>(load<uint8_t>(at)) - 128.0f) / 128.0f;
    case SampleFormat::s16:
      return static_cast<float>(load<int16_t>(at)) / 32768.0f;
    case SampleFormat::s24: {
      // Packed little-endian 24 bits (the only byte order the capture backends produce here),
      // sign-extended through the top byte of a 32-bit value.
      auto b = reinterpret_cast<const uint8_t*>(at);
      int32_t value = static_cast<int32_t>((uint32_t{b[0]} << 8) | (uint32_t{b[1]} << 16) |
                                           (uint32_t{b[2]} << 24)) >>
                      8;
      return static_cast<float>(value) / 8388608.0f;
    }
    case SampleFormat::s32:
      return static_cast<float>(static_cast<double>(load<int32_t>(at)) / 2147483648.0);
    case SampleFormat::float32:
      return load<float>(at);
  }
  return 0.0f;
}

}  // namespace

void appendMonoSamples(const audio::PcmBuffer& buffer, std::vector<float>& out) {
  const auto& format = buffer.format();
  if (format.channels == 0) return;
  const size_t sampleBytes = audio::bytesPerSample(format.sampleFormat);
  const size_t frameBytes = format.bytesPerFrame();
  const std::byte* frame = buffer.data();
  const float scale = 1.0f / static_cast<float>(format.channels);
  out.reserve(out.size() + buffer.frameLength());
  for (uint32_t i = 0; i < buffer.frameLength(); ++i, frame += frameBytes) {
    float sum = 0.0f;
    for (uint32_t c = 0; c < format.channels; ++c) {
      sum += sampleAt(frame + c * sampleBytes, format.sampleFormat);
    }
    out.push_back(sum * scale);
  }
}

void appendMonoSamples(const float* interleaved, size_t frames, uint32_t channels,
                       std::vector<float>& out) {
  if (channels == 0) return;
  const float scale = 1.0f / static_cast<float>(channels);
  out.reserve(out.size() + frames);
  for (size_t i = 0; i < frames; ++i, interleaved += channels) {
    float sum = 0.0f;
    for (uint32_t c = 0; c < channels; ++c) sum += interleaved[c];
    out.push_back(channels == 1 ? sum : sum * scale);
  }
}

int16_t toSample16(float value) {
  float scaled = std::nearbyint(value * 32768.0f);
  if (!(scaled <= 32767.0f)) return scaled > 0.0f ? int16_t{32767} : int16_t{0};
  if (scaled < -32768.0f) return -32768;
  return static_cast<int16_t>(scaled);
}

}  // namespace kavri::speech
