// The PocketSphinx speech engine behind the speech seam: American English, on the device.
#pragma once

#include <memory>
#include <string>

#include "speech/decoder_pocketsphinx.h"
#include "speech/recognition_job.h"
#include "speech/speech_service.h"

namespace kavri::speech {

// The engine has one model, American English. Accepted: "en-US" in either BCP 47 or POSIX
// spelling, in any letter case ("en-US", "en_US", "en-us"), with a POSIX codeset or modifier
// ("en_US.UTF-8") ignored. Not accepted: a bare "en" or another region, which would promise a
// dialect the model was not trained for.
bool isSupportedLocale(const std::string& localeId);

std::shared_ptr<SpeechService> makePocketSphinxSpeechService(
    PocketSphinxModel model = PocketSphinxModel::installed());

}  // namespace kavri::speech
