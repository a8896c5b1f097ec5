#include "platform/text.h"

#include <gtest/gtest.h>

namespace saplugin {
namespace {

TEST(Text, TrimDropsOnlyTheBlanksItIsGiven) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"  a b  ", " ", "a b"},
      {"\ta\t", " ", "\ta\t"},
      {"   ", " ", ""},
      {"xy", " ", "xy"},
      {" \t\r\n\v\f\x1a" "a=b \x1a", kProfileBlanks, "a=b"},
      {"\r a \t", " \t\r", "a"},
  };
  for (const auto& [text, blanks, want] : cases) EXPECT_EQ(Trim(text, blanks), want) << text;
}

TEST(Text, CaseFoldsAsciiLettersOnly) {
  const std::tuple<const char*, const char*, bool, bool> cases[] = {
      // a, b, the same, a starts with b
      {"SpamScore", "SPAMSCORE", true, true},
      {"Content-Length: 5", "content-length:", false, true},
      {"\xC3\xA9", "\xC3\x89", false, false},  // é and É: bytes of UTF-8, no letters
      {"none", "nonE", true, true},
      {"non", "none", false, false},
      {"", "", true, true},
  };
  for (const auto& [a, b, same, starts] : cases) {
    EXPECT_EQ(SameIgnoringCase(a, b), same) << a << " " << b;
    EXPECT_EQ(StartsWithIgnoringCase(a, b), starts) << a << " " << b;
  }
  EXPECT_EQ(LowerCase("Ab1\xC9-Z"), "ab1\xC9-z");
  EXPECT_EQ(UpperCase("ab1\xE9-z"), "AB1\xE9-Z");
}

// A text cut at its limit never splits a UTF-8 character (whose bytes would then read as Windows-1252 text).
TEST(Text, CutNeverSplitsAUtf8Character) {
  const std::pair<const char*, const char*> cuts[] = {{"abc\xC3\xA9", "abc"}, {"abc\xC2\xA0", "abc"}, {"a\xC3\xA9xy", "a\xC3\xA9x"},
      {"ab\xE2\x82\xAC", "ab"}, {"\xE2\x82\xACxy", "\xE2\x82\xACx"}, {"a\xF0\x9F\x93\xA7", "a"},
      {"abc\xE9x", "abc"}, {"ab\xE9xy", "ab\xE9x"}, {"abcde", "abcd"}, {"abc", "abc"}};
  for (const auto& [text, want] : cuts) EXPECT_EQ(CutAtCharacter(text, 4), want) << text;
}

}  // namespace
}  // namespace saplugin
