// The PocketSphinx speech engine behind the speech seam: American English, on the device.
#pragma once

#include <memory>
#include <string>

#include "speech/speech_service.h"

namespace kavri::speech {

// Error codes of the engine's recognition errors.
inline constexpr int64_t kErrorAudioUnreadable = 1;   // the file cannot be decoded
inline constexpr int64_t kErrorModelUnavailable = 2;  // the model is missing or will not load
inline constexpr int64_t kErrorDecoder = 3;           // the decoder refused the audio
inline constexpr int64_t kErrorAudioFormat = 4;       // a buffer in a format nobody can convert

// Where the acoustic model, the language model and the pronunciation dictionary are.
struct PocketSphinxModel {
  std::string acousticModel;
  std::string languageModel;
  std::string dictionary;

  // The layout of Debian's pocketsphinx-en-us package under `directory`.
  static PocketSphinxModel inDirectory(const std::string& directory);
  static PocketSphinxModel installed() {
    return inDirectory("/usr/share/pocketsphinx/model/en-us");
  }
  bool isInstalled() const;
};

// The engine has one model, American English. Accepted: "en-US" in either BCP 47 or POSIX
// spelling, in any letter case ("en-US", "en_US", "en-us"), with a POSIX codeset or modifier
// ("en_US.UTF-8") ignored. Not accepted: a bare "en" or another region, which would promise a
// dialect the model was not trained for.
bool isSupportedLocale(const std::string& localeId);

std::shared_ptr<SpeechService> makePocketSphinxSpeechService(
    PocketSphinxModel model = PocketSphinxModel::installed());

}  // namespace kavri::speech
