// What the computer plays, captured through the system-audio capture service at 16 kHz mono and
// handed buffer by buffer to the recogniser attached as the sink.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "audio/system_audio_capture.h"
#include "event_sink.h"
#include "source_recognizer.h"

namespace kavri {

class SystemAudioSource : public std::enable_shared_from_this<SystemAudioSource> {
 public:
  static constexpr double kSampleRate = 16000.0;
  static constexpr uint32_t kChannels = 1;
  // The error start() reports when the capture service offers nothing to capture.
  static constexpr char kErrorDomain[] = "kavri";
  static constexpr int64_t kNoAudioOutputCode = 1;
  static constexpr char kNoAudioOutputDescription[] = "no_audio_output";

  // `capture` may be null when the platform has no capture service; start() then fails.
  SystemAudioSource(std::shared_ptr<audio::SystemAudioCapture> capture, EventSink emit);

  // Asks for what can be captured and starts capturing the first target; blocks until capture
  // has started or failed. A start() that ends after stop() has run stops its own new stream
  // again, so that nothing keeps capturing unowned.
  // stopsAtLaunch: stopsSoFar() read when the caller decided to start, for a start() that runs
  // on another thread later; a stop() issued after that decision then wins even when it runs
  // before this start() has begun.
  std::optional<audio::AudioError> start(std::optional<uint64_t> stopsAtLaunch = std::nullopt);
  uint64_t stopsSoFar() const;
  // Stops the stored stream and waits for it; a stop error is ignored. Harmless without a stream.
  void stop();

  void setSink(std::shared_ptr<SourceRecognizer> sink);
  std::shared_ptr<SourceRecognizer> sink() const;
  bool isCapturing() const;

  // Stream callbacks; public so that a capture service (or a test) can drive them.
  void didOutputSampleBuffer(const audio::SampleBuffer& sample);
  void didStopWithError(const audio::AudioError& error);

  // One PCM buffer in the sample buffer's own format holding its frames, copied once; null when
  // the sample buffer is not audio or cannot be read. Bytes beyond the sample count are not
  // copied, and a sample buffer that holds fewer bytes than its count yields only the whole
  // frames it holds (never invented silence).
  static audio::PcmBufferPtr makePcmBuffer(const audio::SampleBuffer& sample);

 private:
  const std::shared_ptr<audio::SystemAudioCapture> capture_;
  const EventSink emit_;

  mutable std::mutex lock_;
  std::unique_ptr<audio::CaptureStream> stream_;
  // Counts stop() calls, so a start() in flight can tell that it was overtaken.
  uint64_t stopCount_ = 0;
  std::shared_ptr<SourceRecognizer> sink_;
};

}  // namespace kavri
