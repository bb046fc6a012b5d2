// A microphone engine and a system-audio capture service that play what the test hands them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "audio/audio_engine.h"
#include "audio/system_audio_capture.h"

namespace kavri::testing {

inline audio::PcmBufferPtr makeBuffer(uint32_t frames, audio::AudioFormat format = {},
                                      std::byte fill = std::byte{1}) {
  auto buffer = std::make_shared<audio::PcmBuffer>(format, frames);
  for (size_t i = 0; i < buffer->byteCapacity(); ++i) buffer->data()[i] = fill;
  buffer->setFrameLength(frames);
  return buffer;
}

class FakeAudioEngine : public audio::AudioEngine {
 public:
  audio::AudioFormat format{audio::SampleFormat::float32, 48000.0, 2};
  std::optional<audio::AudioError> startError;

  audio::AudioFormat inputFormat() override { return format; }
  void removeTap() override {
    std::lock_guard<std::mutex> hold(lock_);
    tap_ = nullptr;
    ++removeCount;
  }
  void installTap(uint32_t bufferSize, const audio::AudioFormat& tapFormat,
                  audio::TapBlock block) override {
    std::lock_guard<std::mutex> hold(lock_);
    installedTaps += tap_ ? 2 : 1;  // a second tap without a removal would be a double tap
    tap_ = std::move(block);
    lastBufferSize = bufferSize;
    lastTapFormat = tapFormat;
  }
  void prepare() override { ++prepareCount; }
  std::optional<audio::AudioError> start() override {
    if (startError) return startError;
    running = true;
    return std::nullopt;
  }
  bool isRunning() override { return running; }
  void stop() override {
    running = false;
    ++stopCount;
  }

  bool hasTap() {
    std::lock_guard<std::mutex> hold(lock_);
    return tap_ != nullptr;
  }
  // Calls the tap as the engine's thread would; false when no tap is installed.
  bool play(audio::PcmBufferPtr buffer) {
    audio::TapBlock tap;
    {
      std::lock_guard<std::mutex> hold(lock_);
      tap = tap_;
    }
    if (!tap) return false;
    tap(std::move(buffer));
    return true;
  }

  std::atomic<bool> running{false};
  std::atomic<int> removeCount{0}, stopCount{0}, prepareCount{0}, installedTaps{0};
  uint32_t lastBufferSize = 0;
  audio::AudioFormat lastTapFormat;

 private:
  std::mutex lock_;
  audio::TapBlock tap_;
};

class FakeCaptureStream : public audio::CaptureStream {
 public:
  explicit FakeCaptureStream(std::shared_ptr<std::atomic<int>> stops,
                             std::optional<audio::AudioError> stopError)
      : stops_(std::move(stops)), stopError_(std::move(stopError)) {}
  std::optional<audio::AudioError> stopCapture() override {
    ++*stops_;
    return stopError_;
  }

 private:
  std::shared_ptr<std::atomic<int>> stops_;
  std::optional<audio::AudioError> stopError_;
};

class FakeSystemAudioCapture : public audio::SystemAudioCapture {
 public:
  std::optional<audio::AudioError> contentError;
  std::vector<audio::CaptureTarget> targets{{"monitor"}};
  std::optional<audio::AudioError> startError;
  std::optional<audio::AudioError> stopError;
  // When set, shareableContent() waits for it before answering, like a slow service.
  std::shared_future<void> gate;

  std::optional<audio::AudioError> shareableContent(audio::ShareableContent& content) override {
    ++contentQueries;
    if (gate.valid()) gate.wait();
    if (contentError) return contentError;
    content.targets = targets;
    return std::nullopt;
  }
  audio::StartedStream startCapture(const audio::CaptureTarget&,
                                    const audio::StreamConfiguration& config,
                                    audio::StreamCallbacks callbacks) override {
    std::lock_guard<std::mutex> hold(lock_);
    lastConfig = config;
    callbacks_ = std::move(callbacks);
    if (startError) return {nullptr, startError};
    ++startedStreams;
    return {std::make_unique<FakeCaptureStream>(stops, stopError), std::nullopt};
  }

  audio::StreamCallbacks callbacks() {
    std::lock_guard<std::mutex> hold(lock_);
    return callbacks_;
  }

  std::atomic<int> contentQueries{0};
  std::atomic<int> startedStreams{0};
  std::shared_ptr<std::atomic<int>> stops = std::make_shared<std::atomic<int>>(0);
  audio::StreamConfiguration lastConfig;

 private:
  std::mutex lock_;
  audio::StreamCallbacks callbacks_;
};

// Recorded speech (16 kHz mono 16-bit, the default format) in buffers of a tap's size.
inline constexpr uint32_t kSpeechBufferFrames = 1024;

inline std::vector<audio::PcmBufferPtr> speechBuffers(const std::vector<int16_t>& samples) {
  std::vector<audio::PcmBufferPtr> buffers;
  for (size_t at = 0; at < samples.size(); at += kSpeechBufferFrames) {
    auto frames = static_cast<uint32_t>(std::min<size_t>(kSpeechBufferFrames, samples.size() - at));
    auto buffer = std::make_shared<audio::PcmBuffer>(audio::AudioFormat{}, frames);
    std::memcpy(buffer->data(), samples.data() + at, frames * sizeof(int16_t));
    buffer->setFrameLength(frames);
    buffers.push_back(std::move(buffer));
  }
  return buffers;
}

// A microphone of recorded speech's format.
inline std::shared_ptr<FakeAudioEngine> speechMicrophone() {
  auto microphone = std::make_shared<FakeAudioEngine>();
  microphone->format = audio::AudioFormat{};
  return microphone;
}

// Plays speech into such a microphone a buffer at a time, calling onBuffer after
// each (for pacing).
inline void playSpeech(FakeAudioEngine& microphone, const std::vector<int16_t>& samples,
                       const std::function<void(const audio::PcmBuffer&)>& onBuffer = {}) {
  for (const auto& buffer : speechBuffers(samples)) {
    microphone.play(buffer);
    if (onBuffer) onBuffer(*buffer);
  }
}

}  // namespace kavri::testing
