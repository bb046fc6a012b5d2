// Placeholder until the PocketSphinx engine lands.
#include "speech/speech_service.h"

namespace kavri::speech {
std::shared_ptr<SpeechService> makePlatformSpeechService() { return nullptr; }
}  // namespace kavri::speech
