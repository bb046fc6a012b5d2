#include "testing/words.h"

#include <algorithm>
#include <cctype>

namespace kavri::testing {

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text + " ") {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '\'') {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  return words;
}

size_t wordsInOrder(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::vector<size_t> row(b.size() + 1, 0), previous(b.size() + 1, 0);
  for (const auto& wordA : a) {
    for (size_t j = 0; j < b.size(); ++j) {
      row[j + 1] = wordA == b[j] ? previous[j] + 1 : std::max(previous[j + 1], row[j]);
    }
    std::swap(row, previous);
  }
  return previous[b.size()];
}

}  // namespace kavri::testing
