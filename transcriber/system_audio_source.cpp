#include "system_audio_source.h"

#include <cstring>
#include <limits>

namespace kavri {

SystemAudioSource::SystemAudioSource(std::shared_ptr<audio::SystemAudioCapture> capture,
                                     EventSink emit)
    : capture_(std::move(capture)), emit_(std::move(emit)) {}

uint64_t SystemAudioSource::stopsSoFar() const {
  std::lock_guard<std::mutex> hold(lock_);
  return stopCount_;
}

std::optional<audio::AudioError> SystemAudioSource::start(std::optional<uint64_t> stopsAtLaunch) {
  if (!capture_) {
    return audio::AudioError{kErrorDomain, 2,
                             "system audio capture is not available on this system"};
  }
  const uint64_t stopsBefore = stopsAtLaunch ? *stopsAtLaunch : stopsSoFar();
  audio::ShareableContent content;
  if (auto error = capture_->shareableContent(content)) return error;
  if (content.targets.empty()) {
    return audio::AudioError{kErrorDomain, kNoAudioOutputCode, kNoAudioOutputDescription};
  }

  audio::StreamConfiguration config;
  config.sampleRate = kSampleRate;
  config.channels = kChannels;
  // The transcriber's own sound is never dictation.
  config.excludesCurrentProcessAudio = true;

  // The stream may outlive the source by a callback or two; it must not keep it alive.
  std::weak_ptr<SystemAudioSource> weakSelf = weak_from_this();
  audio::StreamCallbacks callbacks;
  callbacks.onSampleBuffer = [weakSelf](const audio::SampleBuffer& sample) {
    if (auto self = weakSelf.lock()) self->didOutputSampleBuffer(sample);
  };
  callbacks.onStoppedWithError = [weakSelf](const audio::AudioError& error) {
    if (auto self = weakSelf.lock()) self->didStopWithError(error);
  };

  audio::StartedStream started =
      capture_->startCapture(content.targets.front(), config, std::move(callbacks));
  if (started.error) return started.error;
  if (!started.stream) {
    return audio::AudioError{kErrorDomain, 3, "system audio capture did not start"};
  }

  std::unique_ptr<audio::CaptureStream> toStop;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopCount_ != stopsBefore) {
      // stop() ran while we were starting and found nothing to stop.
      toStop = std::move(started.stream);
    } else {
      // A stream replaced by a second start() would otherwise go on capturing with nobody
      // holding it.
      toStop = std::move(stream_);
      stream_ = std::move(started.stream);
    }
  }
  if (toStop) (void)toStop->stopCapture();
  return std::nullopt;
}

void SystemAudioSource::stop() {
  std::unique_ptr<audio::CaptureStream> stream;
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++stopCount_;
    stream = std::move(stream_);
  }
  // A failed stop leaves nothing we could do better; the stream is forgotten either way.
  if (stream) (void)stream->stopCapture();
}

void SystemAudioSource::setSink(std::shared_ptr<SourceRecognizer> sink) {
  std::lock_guard<std::mutex> hold(lock_);
  sink_ = std::move(sink);
}

std::shared_ptr<SourceRecognizer> SystemAudioSource::sink() const {
  std::lock_guard<std::mutex> hold(lock_);
  return sink_;
}

bool SystemAudioSource::isCapturing() const {
  std::lock_guard<std::mutex> hold(lock_);
  return stream_ != nullptr;
}

void SystemAudioSource::didOutputSampleBuffer(const audio::SampleBuffer& sample) {
  auto target = sink();
  if (!target) return;
  if (auto buffer = makePcmBuffer(sample)) target->feed(std::move(buffer));
}

void SystemAudioSource::didStopWithError(const audio::AudioError& error) {
  emit_(Event{
      {"event", "error"}, {"message", "system_audio_stopped"}, {"description", error.description}});
}

audio::PcmBufferPtr SystemAudioSource::makePcmBuffer(const audio::SampleBuffer& sample) {
  if (!sample.isAudio || !sample.format) return nullptr;
  const audio::AudioFormat& format = *sample.format;
  const size_t bytesPerFrame = format.bytesPerFrame();
  if (!(format.sampleRate > 0.0) || bytesPerFrame == 0) return nullptr;
  if (sample.numSamples < 1 ||
      sample.numSamples > static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) {
    return nullptr;
  }
  const size_t wholeFrames = sample.data.size() / bytesPerFrame;
  const auto frames = static_cast<uint32_t>(
      std::min<uint64_t>(static_cast<uint64_t>(sample.numSamples), wholeFrames));
  if (frames == 0) return nullptr;
  auto buffer = std::make_shared<audio::PcmBuffer>(format, frames);
  std::memcpy(buffer->data(), sample.data.data(), static_cast<size_t>(frames) * bytesPerFrame);
  buffer->setFrameLength(frames);
  return buffer;
}

}  // namespace kavri
