#include "speech/dictation_format.h"

namespace kavri::speech {

namespace {

bool isFiller(std::string_view word) {
  if (word.empty()) return true;
  char first = word.front();
  char last = word.back();
  return (first == '<' && last == '>') || (first == '[' && last == ']') ||
         (word.size() >= 4 && word.starts_with("++") && word.ends_with("++"));
}

// The dictionary spells "I" in lower case, as in "i" and "i'm".
bool isFirstPersonPronoun(std::string_view word) {
  return word == "i" || (word.size() > 2 && word[0] == 'i' && word[1] == '\'');
}

void capitaliseFirstLetter(std::string& word) {
  if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') word[0] = static_cast<char>(word[0] - 32);
}

}  // namespace

std::optional<std::string> spokenWord(std::string_view engineWord) {
  // "word(2)": the engine heard the second pronunciation of "word".
  if (engineWord.size() > 3 && engineWord.back() == ')') {
    auto open = engineWord.rfind('(');
    if (open != std::string_view::npos && open > 0) {
      auto digits = engineWord.substr(open + 1, engineWord.size() - open - 2);
      bool allDigits = !digits.empty();
      for (char c : digits) allDigits = allDigits && c >= '0' && c <= '9';
      if (allDigits) engineWord = engineWord.substr(0, open);
    }
  }
  if (isFiller(engineWord)) return std::nullopt;
  return std::string(engineWord);
}

Transcription dictationTranscription(const std::vector<std::vector<EngineWord>>& utterances,
                                     bool addsPunctuation, bool lastIsOpen) {
  Transcription transcription;
  bool sentenceStart = true;
  for (size_t u = 0; u < utterances.size(); ++u) {
    const auto& utterance = utterances[u];
    bool any = false;
    for (const auto& engineWord : utterance) {
      auto word = spokenWord(engineWord.word);
      if (!word) continue;
      if (sentenceStart || isFirstPersonPronoun(*word)) capitaliseFirstLetter(*word);
      sentenceStart = false;
      if (!transcription.formattedString.empty()) transcription.formattedString.push_back(' ');
      transcription.formattedString += *word;
      transcription.segments.push_back(
          Segment{std::move(*word), engineWord.timestamp, engineWord.duration});
      any = true;
    }
    if (any && addsPunctuation && !(lastIsOpen && u + 1 == utterances.size())) {
      transcription.formattedString.push_back('.');
      sentenceStart = true;
    }
  }
  return transcription;
}

}  // namespace kavri::speech
