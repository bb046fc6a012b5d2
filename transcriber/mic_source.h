// The microphone: one tap on the audio engine's input that hands every captured buffer, in the
// device's own format, to the recogniser attached as the sink, and the report of a microphone
// lost while it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "audio/audio_engine.h"
#include "event_sink.h"
#include "source_recognizer.h"

namespace kavri {

class MicSource : public std::enable_shared_from_this<MicSource> {
 public:
  static constexpr uint32_t kTapBufferSize = 1024;

  // `engine` may be null when the platform has no audio engine; start() then fails. `emit`
  // reports an engine that stops by itself; none: it goes unreported.
  explicit MicSource(std::shared_ptr<audio::AudioEngine> engine, EventSink emit = nullptr);

  // Installs the tap (replacing an earlier one) and starts the engine; the engine's error when it
  // does not start, in which case the tap stays installed.
  std::optional<audio::AudioError> start();
  // Removes the tap and stops the engine if it runs. Harmless when never started, or twice.
  void stop();

  void setSink(std::shared_ptr<SourceRecognizer> sink);
  std::shared_ptr<SourceRecognizer> sink() const;

  // The engine stopped by itself (the server died, the device went away): reported once, as
  // the error "audio_engine_stopped" of the speaker "mic" with the engine's description. The
  // session goes on; the recogniser keeps what it heard.
  void didStopWithError(const audio::AudioError& error);

 private:
  void deliver(audio::PcmBufferPtr buffer);

  const std::shared_ptr<audio::AudioEngine> engine_;
  const EventSink emit_;
  std::atomic<bool> reportedStop_{false};
  // Written by the session, read on the engine's tap thread.
  mutable std::mutex sinkLock_;
  std::shared_ptr<SourceRecognizer> sink_;
};

}  // namespace kavri
