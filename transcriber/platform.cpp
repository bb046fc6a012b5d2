#include "platform.h"

namespace kavri {

Platform makePlatform() {
  return Platform{speech::makePlatformSpeechService(),
                  [] { return audio::makePlatformAudioEngine(); },
                  audio::makePlatformSystemAudioCapture()};
}

}  // namespace kavri
