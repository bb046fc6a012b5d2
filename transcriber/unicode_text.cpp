#include "unicode_text.h"

#include <utf8proc.h>

#include <cstdint>

namespace kavri::text {
namespace {

// One decoding step: the code point at `pos` and its length in bytes, or -1 and one byte when
// the bytes there are not UTF-8.
struct Step {
  utf8proc_int32_t codePoint;
  size_t length;
};

Step decodeAt(std::string_view text, size_t pos) {
  utf8proc_int32_t cp = -1;
  auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + pos),
                            static_cast<utf8proc_ssize_t>(text.size() - pos), &cp);
  if (n <= 0) return {-1, 1};
  return {cp, static_cast<size_t>(n)};
}

// Calls onBoundary(offset) for every grapheme boundary strictly inside `text` and at its end, in
// order, until it returns false.
template <typename F>
void forEachBoundary(std::string_view text, F&& onBoundary) {
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    Step step = decodeAt(text, pos);
    if (pos > 0) {
      // Invalid bytes stand alone, and the break state starts again after them.
      bool isBreak = previous < 0 || step.codePoint < 0 ||
                     utf8proc_grapheme_break_stateful(previous, step.codePoint, &state);
      if (previous < 0 || step.codePoint < 0) state = 0;
      if (isBreak && !onBoundary(pos)) return;
    }
    previous = step.codePoint;
    pos += step.length;
  }
  if (!text.empty()) onBoundary(text.size());
}

bool isHorizontalSpace(utf8proc_int32_t cp) {
  return cp == '\t' || (cp >= 0 && utf8proc_category(cp) == UTF8PROC_CATEGORY_ZS);
}

bool isSpaceOrNewline(utf8proc_int32_t cp) {
  if (cp < 0) return false;
  if ((cp >= 0x09 && cp <= 0x0D) || cp == 0x85) return true;
  auto category = utf8proc_category(cp);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

template <typename IsSpace>
std::string_view trim(std::string_view text, IsSpace isSpace) {
  size_t begin = text.size();
  size_t end = 0;
  for (size_t pos = 0; pos < text.size();) {
    Step step = decodeAt(text, pos);
    if (!isSpace(step.codePoint)) {
      if (begin == text.size()) begin = pos;
      end = pos + step.length;
    }
    pos += step.length;
  }
  if (begin >= end) return text.substr(0, 0);
  return text.substr(begin, end - begin);
}

}  // namespace

size_t graphemeCount(std::string_view text) {
  size_t count = 0;
  forEachBoundary(text, [&count](size_t) {
    ++count;
    return true;
  });
  return count;
}

bool hasCharacterPrefix(std::string_view text, std::string_view prefix) {
  if (prefix.size() > text.size() || text.substr(0, prefix.size()) != prefix) return false;
  if (prefix.empty() || prefix.size() == text.size()) return true;
  bool onBoundary = false;
  forEachBoundary(text, [&](size_t offset) {
    if (offset >= prefix.size()) {
      onBoundary = offset == prefix.size();
      return false;
    }
    return true;
  });
  return onBoundary;
}

bool isValidUtf8(std::string_view bytes) {
  for (size_t pos = 0; pos < bytes.size();) {
    Step step = decodeAt(bytes, pos);
    if (step.codePoint < 0) return false;
    pos += step.length;
  }
  return true;
}

std::string_view trimHorizontalSpace(std::string_view text) {
  return trim(text, isHorizontalSpace);
}

std::string_view trimSpaceAndNewlines(std::string_view text) {
  return trim(text, isSpaceOrNewline);
}

}  // namespace kavri::text
