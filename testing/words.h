// Comparing recognised text with a transcript, word by word.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kavri::testing {

// ASCII lower case.
std::string lowercase(std::string text);
// The lower-case words of a text, without punctuation.
std::vector<std::string> wordsOf(const std::string& text);
// How many words of one list appear in the other in the same order (the length of their longest
// common subsequence).
size_t wordsInOrder(const std::vector<std::string>& a, const std::vector<std::string>& b);

}  // namespace kavri::testing
