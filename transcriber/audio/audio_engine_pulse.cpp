// Placeholder until the PulseAudio backends land.
#include "audio/audio_engine.h"
#include "audio/system_audio_capture.h"

namespace kavri::audio {
std::shared_ptr<AudioEngine> makePlatformAudioEngine() { return nullptr; }
std::shared_ptr<SystemAudioCapture> makePlatformSystemAudioCapture() { return nullptr; }
}  // namespace kavri::audio
