// The lines of the three permission modes, apart from the process around them so that tests can
// build them with fake services.
#pragma once

#include "audio/system_audio_capture.h"
#include "event_output.h"
#include "speech/speech_service.h"

namespace kavri {

// Said when the transcriber was built without a way to capture what the computer plays.
inline constexpr char kNoSystemAudioServiceDescription[] = "no_system_audio_service";

// {"speech": status word}
Event speechStatusLine(int status);

// Asks the capture service what it could capture, once, and blocks until it answers:
// {"screen": "primed"} when it answered (even with nothing to capture), else {"screen": "denied",
// "description": its description}.
Event primeScreenLine(audio::SystemAudioCapture* capture);

}  // namespace kavri
