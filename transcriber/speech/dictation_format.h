// Turns the words an engine recognised into the text a dictating user expects to read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "speech/decoder.h"
#include "speech/speech_service.h"

namespace kavri::speech {

// The spoken word behind an engine word: alternate pronunciation markers ("was(2)") are dropped;
// silence, noise and sentence markers ("<s>", "<sil>", "[NOISE]", "++BREATH++") give nothing.
std::optional<std::string> spokenWord(std::string_view engineWord);

// Dictation style over a run of utterances: each utterance starts a sentence with a capital
// letter, "I" and its contractions are capitalised, and with punctuation each utterance ends in
// a full stop. Without punctuation sentences cannot be told apart, so only the first word is
// capitalised. Utterances without spoken words leave no trace. Segments carry the words as they
// appear in the text, without the punctuation. When the last utterance is still being spoken
// (`lastIsOpen`) it gets no full stop yet.
Transcription dictationTranscription(const std::vector<std::vector<EngineWord>>& utterances,
                                     bool addsPunctuation, bool lastIsOpen = false);

}  // namespace kavri::speech
