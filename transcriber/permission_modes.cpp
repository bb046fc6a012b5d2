// Placeholder until the permission modes land.
#include "event_output.h"
#include "modes.h"

namespace kavri {

void runProbe(const Platform& platform) {
  emit(Event{{"speech", speechStatusString(platform.speech->authorizationStatus())}});
  exitProcess(0);
}

void startRequestSpeech(const Platform& platform) {
  platform.speech->requestAuthorization([](int status) {
    emit(Event{{"speech", speechStatusString(status)}});
    exitProcess(0);
  });
}

void startPrimeScreen(const Platform&) {
  emit(Event{{"screen", "denied"}, {"description", "not available yet"}});
  exitProcess(0);
}

}  // namespace kavri
