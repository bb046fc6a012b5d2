// The three permission modes (--probe, --request-speech, --prime-screen): one question to the
// platform, one line without an "event" key, exit 0 whatever the answer. The lines are built
// apart from the process around them so that tests can check them with fake services.
#pragma once

#include "audio/system_audio_capture.h"
#include "event_output.h"
#include "platform.h"
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

// Writes the current speech status line and exits with 0, on the calling thread.
[[noreturn]] void runProbe(const Platform& platform);
// Asks for the speech permission; its answer's line is written, and the process ended, on the
// thread that delivers it.
void startRequestSpeech(const Platform& platform);
// Primes capture of what the computer plays on a background thread, which writes the line and
// ends the process.
void startPrimeScreen(const Platform& platform);

}  // namespace kavri
