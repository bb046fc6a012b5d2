// The audio seams on this platform: PulseAudio (which PipeWire also serves), on the server that
// libpulse picks for the user's session.
#include "audio/audio_engine.h"
#include "audio/pulse_client_pulse.h"
#include "audio/system_audio_capture.h"

namespace kavri::audio {

std::shared_ptr<AudioEngine> makePlatformAudioEngine() {
  return pulse::makePulseAudioEngine(pulse::Options{});
}

std::shared_ptr<SystemAudioCapture> makePlatformSystemAudioCapture() {
  return pulse::makePulseSystemAudioCapture(pulse::Options{});
}

}  // namespace kavri::audio
