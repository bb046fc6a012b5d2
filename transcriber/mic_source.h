// The microphone: one tap on the audio engine's input that hands every captured buffer, in the
// device's own format, to the recogniser attached as the sink.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "audio/audio_engine.h"
#include "source_recognizer.h"

namespace kavri {

class MicSource : public std::enable_shared_from_this<MicSource> {
 public:
  static constexpr uint32_t kTapBufferSize = 1024;

  // `engine` may be null when the platform has no audio engine; start() then fails.
  explicit MicSource(std::shared_ptr<audio::AudioEngine> engine);

  // Installs the tap (replacing an earlier one) and starts the engine; the engine's error when it
  // does not start, in which case the tap stays installed.
  std::optional<audio::AudioError> start();
  // Removes the tap and stops the engine if it runs. Harmless when never started, or twice.
  void stop();

  void setSink(std::shared_ptr<SourceRecognizer> sink);
  std::shared_ptr<SourceRecognizer> sink() const;

 private:
  void deliver(audio::PcmBufferPtr buffer);

  const std::shared_ptr<audio::AudioEngine> engine_;
  // Written by the session, read on the engine's tap thread.
  mutable std::mutex sinkLock_;
  std::shared_ptr<SourceRecognizer> sink_;
};

}  // namespace kavri
