// File mode (--file): one audio file in, one "final" event (or one error event) out, then the
// exit.
#pragma once

#include <chrono>
#include <string>

#include "command_line.h"
#include "platform.h"
#include "speech/speech_service.h"

namespace kavri {

// Asks for the speech permission; the answer's thread transcribes the file and ends the process.
void startFileMode(const CommandLine& commandLine, const Platform& platform);

// How long a file may take to recognise before the transcriber gives up on it.
inline constexpr std::chrono::milliseconds kRecognitionTimeout = std::chrono::seconds(600);

// The answer to the speech permission request of file mode: reports a refusal, or transcribes
// the file, then ends the process. Runs on the thread that delivered the answer.
[[noreturn]] void handleFilePermission(int status, speech::SpeechService& service,
                                       const std::string& path, const std::string& localeId,
                                       std::chrono::milliseconds timeout = kRecognitionTimeout);

// Recognises the file and writes its outcome line. Returns once the recogniser has reported an
// outcome and its line is written; every other way out ends the process with status 2.
void transcribeFile(speech::SpeechService& service, const std::string& path,
                    const std::string& localeId,
                    std::chrono::milliseconds timeout = kRecognitionTimeout);

}  // namespace kavri
