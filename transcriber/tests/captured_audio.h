// What the tests of the audio backends play and measure: tones to play into a server, and a
// collector that tells what captured audio sounds like.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "audio/pcm_buffer.h"
#include "testing/files.h"

namespace kavri::testing {

// A headerless file of a sine tone (signed 16-bit, 16 kHz, mono) in a temporary folder of its
// own, removed when destroyed.
class ToneFile {
 public:
  static constexpr double kRate = 16000.0;
  ToneFile(double frequency, std::chrono::milliseconds duration, double amplitude = 0.5);
  const std::string& path() const { return path_; }

 private:
  TempDir dir_;
  std::string path_;
};

// Channel 0 of interleaved frames, as numbers in [-1, 1].
std::vector<float> firstChannel(audio::AudioFormat format, const std::byte* data, size_t frames);

// Collects captured audio from any thread and tells what it sounds like.
class AudioCollector {
 public:
  void add(audio::AudioFormat format, const std::byte* data, size_t frames);
  size_t deliveries() const;
  // Waits until `done` holds (checked under the collector's lock on every delivery).
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  bool waitForDeliveries(size_t count, std::chrono::milliseconds timeout);
  bool waitForLoudSeconds(double seconds, std::chrono::milliseconds timeout);
  // Seconds of audio whose level is clearly above silence.
  double loudSeconds() const;
  // The frequency of the loud part, from its zero crossings; 0 when nothing loud arrived.
  double loudFrequency() const;

 private:
  double loudSecondsLocked() const;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  double rate_ = 0;
  size_t deliveries_ = 0;
  std::vector<float> samples_;
};

}  // namespace kavri::testing
