// Unicode helpers for text that users see or type: character counts in grapheme clusters, prefix
// tests that never split a character, and the two kinds of white-space trimming the transcriber
// needs.
#pragma once

#include <cstddef>
#include <string_view>

namespace kavri::text {

// User-perceived characters (extended grapheme clusters). A byte that is not part of valid UTF-8
// counts as one character of its own.
size_t graphemeCount(std::string_view text);

// Whether `text` begins with `prefix` as whole characters: the bytes match and the prefix ends on
// a character boundary of `text` (so "e" is not a prefix of "e" + combining acute accent).
// Case-sensitive. The empty string is a prefix of everything.
bool hasCharacterPrefix(std::string_view text, std::string_view prefix);

bool isValidUtf8(std::string_view bytes);

// Without leading and trailing horizontal white space: Unicode space separators (Zs) and tab.
// Line breaks, carriage return included, stay. Expects valid UTF-8.
std::string_view trimHorizontalSpace(std::string_view text);

// Without leading and trailing white space and line breaks: all Unicode separators (Zs, Zl, Zp),
// U+0009 to U+000D and U+0085. Expects valid UTF-8; invalid bytes are kept.
std::string_view trimSpaceAndNewlines(std::string_view text);

}  // namespace kavri::text
