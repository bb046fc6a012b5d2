// The platform bundle: every service the modes need of the platform, so that tests can hand in
// fakes where the program hands in the real backends.
#pragma once

#include <functional>
#include <memory>

#include "audio/audio_engine.h"
#include "audio/system_audio_capture.h"
#include "speech/speech_service.h"

namespace kavri {

struct Platform {
  std::shared_ptr<speech::SpeechService> speech;
  std::function<std::shared_ptr<audio::AudioEngine>()> makeAudioEngine;
  std::shared_ptr<audio::SystemAudioCapture> systemAudio;
};

// The real backends of this platform.
Platform makePlatform();

}  // namespace kavri
