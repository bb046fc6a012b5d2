// Which locales the transcriber supports: those the speech service has a recogniser for and that
// can be told back to the host. Events are UTF-8 JSON and carry the locale exactly as it came
// ("language", "locale"), so an identifier that is not UTF-8 is not supported, whatever the
// service would make of it, and no path that reports a locale can ever fail to encode it.
#pragma once

#include <memory>
#include <string>

#include "speech/speech_service.h"

namespace kavri {

// The service's recogniser for the locale, or null when the locale is not supported.
std::shared_ptr<speech::Recognizer> recognizerForLocale(speech::SpeechService& service,
                                                        const std::string& localeId);

}  // namespace kavri
