#include "file_mode.h"

#include <atomic>
#include <cmath>
#include <filesystem>
#include <semaphore>

#include "event_output.h"
#include "locale_support.h"

namespace kavri {

namespace {

// What the waiting side and the result handler share; the handler may outlive the wait.
struct Outcome {
  std::atomic<bool> done{false};
  std::counting_semaphore<> finished{0};
};

// Times are sums of whole engine frames; rounding off the binary noise of the sum (1.53 rather
// than 1.5299999999999998) keeps the lines readable and changes nothing a host could measure.
double roundedSeconds(double seconds) {
  return std::round(seconds * 1e6) / 1e6;
}

Event finalEvent(const speech::Result& result, const std::string& localeId) {
  Event segments = Event::array();
  for (const auto& segment : result.bestTranscription.segments) {
    segments.push_back(Event{{"start", segment.timestamp},
                             {"end", roundedSeconds(segment.timestamp + segment.duration)},
                             {"text", segment.substring}});
  }
  return Event{{"event", "final"},
               {"text", result.bestTranscription.formattedString},
               {"segments", std::move(segments)},
               {"language", localeId}};
}

}  // namespace

void transcribeFile(speech::SpeechService& service, const std::string& path,
                    const std::string& localeId, std::chrono::milliseconds timeout) {
  // The locale is looked at before the file.
  auto recognizer = recognizerForLocale(service, localeId);
  if (!recognizer) fatal("recognizer_unsupported_locale");

  // Only existence counts here; a directory or a file in no known format reaches the
  // recogniser, which reports why it cannot decode it.
  std::error_code ignored;
  if (!std::filesystem::exists(std::filesystem::path(path), ignored)) fatal("file_not_found");

  speech::UrlRecognitionRequest request;
  request.path = path;
  request.shouldReportPartialResults = false;
  request.requiresOnDeviceRecognition = recognizer->supportsOnDeviceRecognition();
  request.addsPunctuation = true;

  auto outcome = std::make_shared<Outcome>();
  recognizer->recognitionTask(request,
                              [outcome, localeId](const std::optional<speech::Result>& result,
                                                  const std::optional<speech::Error>& error) {
                                if (error) {
                                  if (outcome->done.exchange(true)) return;
                                  emit(Event{{"event", "error"},
                                             {"message", "recognition_failed"},
                                             {"code", error->code},
                                             {"description", error->description}});
                                  outcome->finished.release();
                                  return;
                                }
                                if (!result || !result->isFinal) return;
                                if (outcome->done.exchange(true)) return;
                                emit(finalEvent(*result, localeId));
                                outcome->finished.release();
                              });

  if (outcome->finished.try_acquire_for(timeout)) return;
  if (outcome->done.load()) {
    // The handler took the outcome just as time ran out and is writing its line; the process
    // must not end under it, and it signals right after.
    outcome->finished.acquire();
    return;
  }
  fatal("recognition_timeout");
}

void handleFilePermission(int status, speech::SpeechService& service, const std::string& path,
                          const std::string& localeId, std::chrono::milliseconds timeout) {
  if (status != speech::kAuthorized) {
    fatal("speech_authorization_" + speechStatusString(status));
  }
  transcribeFile(service, path, localeId, timeout);
  exitProcess(0);
}

void startFileMode(const CommandLine& commandLine, const Platform& platform) {
  auto path = commandLine.argValue("--file");
  if (!path) fatal("missing_file_arg");
  std::string localeId = commandLine.argValue("--locale").value_or(kDefaultLocale);
  auto speech = platform.speech;
  speech->requestAuthorization([speech, path = *path, localeId](int status) {
    handleFilePermission(status, *speech, path, localeId);
  });
}

}  // namespace kavri
