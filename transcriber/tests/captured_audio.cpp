#include "captured_audio.h"

#include <cmath>
#include <cstring>

namespace kavri::testing {

ToneFile::ToneFile(double frequency, std::chrono::milliseconds duration, double amplitude)
    : path_(dir_ / "tone.raw") {
  size_t frames = static_cast<size_t>(kRate * static_cast<double>(duration.count()) / 1000.0);
  std::vector<int16_t> samples(frames);
  for (size_t i = 0; i < frames; ++i) {
    samples[i] = static_cast<int16_t>(
        std::lround(amplitude * 32767.0 * std::sin(2.0 * M_PI * frequency * i / kRate)));
  }
  writeFile(path_, std::string(reinterpret_cast<const char*>(samples.data()),
                               samples.size() * sizeof(int16_t)));
}

std::vector<float> firstChannel(audio::AudioFormat format, const std::byte* data, size_t frames) {
  std::vector<float> out(frames);
  size_t stride = format.bytesPerFrame();
  for (size_t i = 0; i < frames; ++i) {
    const std::byte* p = data + i * stride;
    switch (format.sampleFormat) {
      case audio::SampleFormat::u8:
        out[i] = (static_cast<float>(std::to_integer<uint8_t>(p[0])) - 128.0f) / 128.0f;
        break;
      case audio::SampleFormat::s16: {
        int16_t v;
        std::memcpy(&v, p, sizeof v);
        out[i] = static_cast<float>(v) / 32768.0f;
        break;
      }
      case audio::SampleFormat::s24: {
        int32_t v = std::to_integer<int32_t>(p[0]) | (std::to_integer<int32_t>(p[1]) << 8) |
                    (std::to_integer<int32_t>(p[2]) << 16);
        if (v & 0x800000) v -= 0x1000000;
        out[i] = static_cast<float>(v) / 8388608.0f;
        break;
      }
      case audio::SampleFormat::s32: {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        out[i] = static_cast<float>(v / 2147483648.0);
        break;
      }
      case audio::SampleFormat::float32:
        std::memcpy(&out[i], p, sizeof(float));
        break;
    }
  }
  return out;
}

namespace {
// Windows of this many seconds are judged loud or quiet as a whole.
constexpr double kWindowSeconds = 0.02;
// A tone at half of full scale has an RMS of 0.35; silence and dither stay far below this.
constexpr double kLoudRms = 0.1;

template <typename Visit>
void forEachLoudWindow(const std::vector<float>& samples, double rate, Visit visit) {
  if (rate <= 0) return;
  size_t window = static_cast<size_t>(rate * kWindowSeconds);
  for (size_t start = 0; start + window <= samples.size(); start += window) {
    double sum = 0;
    for (size_t i = start; i < start + window; ++i) sum += samples[i] * samples[i];
    if (std::sqrt(sum / window) >= kLoudRms) visit(start, window);
  }
}
}  // namespace

void AudioCollector::add(audio::AudioFormat format, const std::byte* data, size_t frames) {
  auto channel = firstChannel(format, data, frames);
  {
    std::lock_guard<std::mutex> hold(lock_);
    rate_ = format.sampleRate;
    ++deliveries_;
    samples_.insert(samples_.end(), channel.begin(), channel.end());
  }
  changed_.notify_all();
}

size_t AudioCollector::deliveries() const {
  std::lock_guard<std::mutex> hold(lock_);
  return deliveries_;
}

bool AudioCollector::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, timeout, done);
}

bool AudioCollector::waitForDeliveries(size_t count, std::chrono::milliseconds timeout) {
  return waitFor([&] { return deliveries_ >= count; }, timeout);
}

bool AudioCollector::waitForLoudSeconds(double seconds, std::chrono::milliseconds timeout) {
  return waitFor([&] { return loudSecondsLocked() >= seconds; }, timeout);
}

double AudioCollector::loudSecondsLocked() const {
  double seconds = 0;
  forEachLoudWindow(samples_, rate_, [&](size_t, size_t window) { seconds += window / rate_; });
  return seconds;
}

double AudioCollector::loudSeconds() const {
  std::lock_guard<std::mutex> hold(lock_);
  return loudSecondsLocked();
}

double AudioCollector::loudFrequency() const {
  std::lock_guard<std::mutex> hold(lock_);
  size_t crossings = 0;
  size_t samples = 0;
  forEachLoudWindow(samples_, rate_, [&](size_t start, size_t window) {
    for (size_t i = start + 1; i < start + window; ++i) {
      if ((samples_[i - 1] < 0) != (samples_[i] < 0)) ++crossings;
    }
    samples += window - 1;
  });
  if (samples == 0) return 0;
  return crossings / 2.0 / (samples / rate_);
}

}  // namespace kavri::testing
