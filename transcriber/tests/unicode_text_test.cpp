#include "unicode_text.h"

#include <gtest/gtest.h>

namespace kavri::text {
namespace {

TEST(UnicodeText, CountsGraphemeClusters) {
  EXPECT_EQ(graphemeCount(""), 0u);
  EXPECT_EQ(graphemeCount("abc"), 3u);
  EXPECT_EQ(graphemeCount("e\u0301"), 1u);
  EXPECT_EQ(graphemeCount("\U0001F468\u200D\U0001F469\u200D\U0001F467!"), 2u);
  EXPECT_EQ(graphemeCount("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7"), 2u);  // two flags
  EXPECT_EQ(graphemeCount("\r\n"), 1u);
  EXPECT_EQ(graphemeCount("a\xff\xfe"), 3u);  // stray bytes count one each
}

TEST(UnicodeText, PrefixesEndOnCharacterBoundaries) {
  EXPECT_TRUE(hasCharacterPrefix("hello", ""));
  EXPECT_TRUE(hasCharacterPrefix("hello", "hell"));
  EXPECT_TRUE(hasCharacterPrefix("hello", "hello"));
  EXPECT_FALSE(hasCharacterPrefix("hell", "hello"));
  EXPECT_FALSE(hasCharacterPrefix("Hello", "h"));
  EXPECT_FALSE(hasCharacterPrefix("e\u0301t", "e"));
  EXPECT_TRUE(hasCharacterPrefix("e\u0301t", "e\u0301"));
  EXPECT_FALSE(hasCharacterPrefix("\U0001F468\u200D\U0001F469", "\U0001F468"));
}

TEST(UnicodeText, ValidatesUtf8) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("caf\u00e9 \U0001F600"));
  EXPECT_FALSE(isValidUtf8("\xc3"));
  EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));
  EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));  // beyond U+10FFFF
}

TEST(UnicodeText, HorizontalTrimKeepsLineBreaks) {
  EXPECT_EQ(trimHorizontalSpace(" \t\u00A0\u2009 go \u3000"), "go");
  EXPECT_EQ(trimHorizontalSpace("\rgo\r"), "\rgo\r");
  EXPECT_EQ(trimHorizontalSpace("\ngo"), "\ngo");
  EXPECT_EQ(trimHorizontalSpace(" \t "), "");
}

TEST(UnicodeText, FullTrimRemovesLineBreaksToo) {
  EXPECT_EQ(trimSpaceAndNewlines("\n\r\t Hello there.\u2028\u0085 \n"), "Hello there.");
  EXPECT_EQ(trimSpaceAndNewlines("a\nb"), "a\nb");
  EXPECT_EQ(trimSpaceAndNewlines("\n\n"), "");
}

}  // namespace
}  // namespace kavri::text
