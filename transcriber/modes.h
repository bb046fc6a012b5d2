// The transcriber's modes. Each one starts its work and returns; the main thread then serves the
// main queue until the mode ends the process.
#pragma once

#include "audio/audio_engine.h"
#include "audio/system_audio_capture.h"
#include "command_line.h"
#include "dispatch.h"
#include "speech/speech_service.h"

#include <functional>
#include <memory>

namespace kavri {

// Everything the modes need of the platform, so that tests can hand in fakes.
struct Platform {
  std::shared_ptr<speech::SpeechService> speech;
  std::function<std::shared_ptr<audio::AudioEngine>()> makeAudioEngine;
  std::shared_ptr<audio::SystemAudioCapture> systemAudio;
};

Platform makePlatform();

// Writes the speech status line and exits with 0, on the calling thread.
[[noreturn]] void runProbe(const Platform& platform);
void startRequestSpeech(const Platform& platform);
void startPrimeScreen(const Platform& platform);
void startFileMode(const CommandLine& commandLine, const Platform& platform);
void startLiveMode(const CommandLine& commandLine, const Platform& platform, MainQueue& mainQueue);

}  // namespace kavri
