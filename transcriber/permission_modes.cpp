// On Linux nobody prompts: the speech status is the engine's, and priming "screen" capture asks
// the audio server for the output we would record.
#include "permission_modes.h"

#include "command_line.h"
#include "main_queue.h"

namespace kavri {

Event speechStatusLine(int status) {
  return Event{{"speech", speechStatusString(status)}};
}

Event primeScreenLine(audio::SystemAudioCapture* capture) {
  if (capture == nullptr) {
    return Event{{"screen", "denied"}, {"description", kNoSystemAudioServiceDescription}};
  }
  audio::ShareableContent content;
  if (auto error = capture->shareableContent(content)) {
    return Event{{"screen", "denied"}, {"description", error->description}};
  }
  return Event{{"screen", "primed"}};
}

namespace {
// A build without a speech service can say nothing better about the permission.
constexpr int kStatusWithoutService = -1;
}  // namespace

void runProbe(const Platform& platform) {
  int status = platform.speech ? platform.speech->authorizationStatus() : kStatusWithoutService;
  emitLast(speechStatusLine(status));
  exitProcess(0);
}

void startRequestSpeech(const Platform& platform) {
  if (!platform.speech) {
    emitLast(speechStatusLine(kStatusWithoutService));
    exitProcess(0);
  }
  platform.speech->requestAuthorization([](int status) {
    emitLast(speechStatusLine(status));
    exitProcess(0);
  });
}

void startPrimeScreen(const Platform& platform) {
  // The server may take its time; the main thread stays free to serve its queue meanwhile.
  launchTask([capture = platform.systemAudio] {
    emitLast(primeScreenLine(capture.get()));
    exitProcess(0);
  });
}

}  // namespace kavri
