#include "store/encoded_words.h"

#include <gtest/gtest.h>

namespace saplugin {
namespace {

// A header field's text as the report and the scan log show it.
TEST(EncodedWords, DecodedAsAPersonReadsThem) {
  const std::pair<const char*, const char*> cases[] = {
      {"=?UTF-8?B?w4ljb2xl?=", "\xC3\x89" "cole"},
      {"=?utf-8?q?caf=C3=A9_cr=C3=A8me?=", "caf\xC3\xA9 cr\xC3\xA8me"},
      {"=?ISO-8859-1?Q?caf=E9?=", "caf\xC3\xA9"},
      {"=?iso-8859-15?q?=A4?=", "\xE2\x82\xAC"},
      {"=?ISO-8859-15?Q?=BC=BD=BE?=", "\xC5\x92\xC5\x93\xC5\xB8"},
      {"=?windows-1252?Q?=80?=", "\xE2\x82\xAC"},
      {"=?UTF-8?B?Pz8/Pj4+?=", "?\?\?>>>"},  // the alphabet's last two letters
      {"=?UTF-8?B?PHNjcmlwdD4=?=", "<script>"},  // markup is for the page to escape
      {"=?UTF-8*en?Q?hi?=", "hi"},                 // a language after the charset
      // The blanks between two encoded words go; other text between them stays.
      {"=?UTF-8?Q?a?= \t =?UTF-8?Q?b?=", "ab"},
      {"=?UTF-8?Q?a?= x =?UTF-8?Q?b?=", "a x b"},
      {"Re: =?UTF-8?Q?a?= ", "Re: a "},
      // What cannot be decoded stays as it was written.
      {"=?UTF-8?X?a?=", "=?UTF-8?X?a?="},
      {"=?KOI8-R?Q?a?=", "=?KOI8-R?Q?a?="},
      {"=?UTF-8?Q?a b?=", "=?UTF-8?Q?a b?="},
      {"=?UTF-8?Q?=4?=", "=?UTF-8?Q?=4?="},
      {"=?UTF-8?B?w4*=?=", "=?UTF-8?B?w4*=?="},
      {"=?UTF-8?Q?a", "=?UTF-8?Q?a"},
      // Bytes that are no UTF-8 are Windows-1252's.
      {"=?UTF-8?B?/w==?=", "\xC3\xBF"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(DecodeEncodedWords(text), shown) << text;
}

}  // namespace
}  // namespace saplugin
