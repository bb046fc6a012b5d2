#include "locale_support.h"

#include "unicode_text.h"

namespace kavri {

std::shared_ptr<speech::Recognizer> recognizerForLocale(speech::SpeechService& service,
                                                        const std::string& localeId) {
  if (!text::isValidUtf8(localeId)) return nullptr;
  return service.makeRecognizer(localeId);
}

}  // namespace kavri
