#include "mic_source.h"

namespace kavri {

MicSource::MicSource(std::shared_ptr<audio::AudioEngine> engine, EventSink emit)
    : engine_(std::move(engine)), emit_(std::move(emit)) {}

std::optional<audio::AudioError> MicSource::start() {
  if (!engine_) {
    return audio::AudioError{"kavri", 2, "there is no audio input engine on this system"};
  }
  audio::AudioFormat format = engine_->inputFormat();
  engine_->removeTap();
  // The tap must not keep the source alive: the session decides how long it lives.
  std::weak_ptr<MicSource> weakSelf = weak_from_this();
  engine_->installTap(kTapBufferSize, format, [weakSelf](audio::PcmBufferPtr buffer) {
    if (auto self = weakSelf.lock()) self->deliver(std::move(buffer));
  });
  engine_->setStoppedHandler([weakSelf](const audio::AudioError& error) {
    if (auto self = weakSelf.lock()) self->didStopWithError(error);
  });
  engine_->prepare();
  return engine_->start();
}

void MicSource::stop() {
  if (!engine_) return;
  engine_->removeTap();
  if (engine_->isRunning()) engine_->stop();
}

void MicSource::setSink(std::shared_ptr<SourceRecognizer> sink) {
  std::lock_guard<std::mutex> hold(sinkLock_);
  sink_ = std::move(sink);
}

std::shared_ptr<SourceRecognizer> MicSource::sink() const {
  std::lock_guard<std::mutex> hold(sinkLock_);
  return sink_;
}

void MicSource::deliver(audio::PcmBufferPtr buffer) {
  if (auto target = sink()) target->feed(std::move(buffer));
}

void MicSource::didStopWithError(const audio::AudioError& error) {
  // An engine may say so more than once (a platform's change notices come in bursts); the host
  // needs to hear it once.
  if (!emit_ || reportedStop_.exchange(true)) return;
  emit_(Event{{"event", "error"},
              {"message", "audio_engine_stopped"},
              {"speaker", "mic"},
              {"description", error.description}});
}

}  // namespace kavri
