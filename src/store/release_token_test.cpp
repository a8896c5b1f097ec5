#include "store/release_token.h"

#include <gtest/gtest.h>

#include "store/sha256.h"

namespace saplugin {
namespace {

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) hex += std::string{kDigits[(c >> 4) & 0xF], kDigits[c & 0xF]};
  return hex;
}

// RFC 4231's test cases 1, 2 and 6 (a key longer than a block is hashed first).
TEST(HmacSha256, GivesTheStandardsKnownAnswers) {
  const std::tuple<std::string, std::string, const char*> cases[] = {
      {std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
  };
  for (const auto& [key, message, mac] : cases) EXPECT_EQ(Hex(HmacSha256(key, message)), mac) << message;
}

const char* Word(TokenVerdict verdict) {
  const char* const words[] = {"valid", "malformed", "forged", "expired"};
  return words[static_cast<int>(verdict)];
}

// A token made for a message, a recipient and an expiry, then read back as
// it came, or changed in one part, or read with another key or too late.
TEST(ReleaseToken, OnlyTheSitesOwnUnchangedTokenIsValidAndOnlyUntilItExpires) {
  const std::string key(32, 'k'), id = "0123456789ABCDEF0123456789ABCDEF";
  const std::string token = MakeReleaseToken(key, {id, "jane@example.com", 2000000000});
  const std::size_t second = token.find('.', 33), third = token.find('.', second + 1);
  const std::string signature = token.substr(third + 1);
  const struct {
    std::string token, key;
    std::int64_t now;
    const char* verdict;
  } cases[] = {
      {token, key, 2000000000, "valid"},
      {token, key, 2000000001, "expired"},
      {token, std::string(32, 'K'), 1, "forged"},
      {"F" + token.substr(1), key, 1, "forged"},                                                      // another message
      {token.substr(0, 33) + "2000000009" + token.substr(second), key, 1, "forged"},                  // a later expiry
      {token.substr(0, second + 1) + EncodeBase64Url("bob@example.com") + token.substr(third), key, 1, "forged"},  // another recipient
      {token.substr(0, token.size() - 1), key, 1, "forged"},
      {token.substr(0, third + 1), key, 1, "forged"},
      {"abc", key, 1, "malformed"},
      {token + ".x", key, 1, "malformed"},
      {"NOTANID" + token.substr(32), key, 1, "malformed"},
      {token.substr(0, 33) + "2e9" + token.substr(second), key, 1, "malformed"},
      {token.substr(0, second + 1) + "am+u" + token.substr(third), key, 1, "malformed"},
      {token.substr(0, second + 1) + EncodeBase64Url(std::string(255, 'a')) + token.substr(third), key, 1, "malformed"},
  };
  for (const auto& c : cases) {
    ReleaseTicket ticket;
    EXPECT_STREQ(Word(ReadReleaseToken(c.key, c.token, c.now, &ticket)), c.verdict) << c.token;
    if (std::string(c.verdict) == "valid") {
      EXPECT_EQ(ticket.id + " " + ticket.recipient + " " + std::to_string(ticket.expiry), id + " jane@example.com 2000000000");
    }
  }
  EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_."), std::string::npos) << token;
  EXPECT_EQ(signature.size(), 22u);
}

TEST(ReleaseToken, IsFoundAfterReleaseWhateverAReplyPutsInFront) {
  const std::string t = "0123456789ABCDEF0123456789ABCDEF.2000000000.amFuZUBleGFtcGxlLmNvbQ.AAAAAAAAAAAAAAAAAAAA-_";
  const std::pair<std::string, std::string> cases[] = {
      {"Release " + t, t},
      {"Re: Release " + t, t},
      {"AW: RE: release   " + t + "  (please)", t},
      {"Re:Release " + t, t},
      {"[EXT] Release: <" + t + ">.", t},
      {"Release " + t + ".", t},
      {"Prerelease " + t, ""},
      {"Release notes, then Release " + t, t},
      {"Re:\tRelease\t" + t + "\r\n", t},
      {"Re: Release\r\n " + t, t},
      {"Release", ""},
      // Words of other shapes after "release" are no token: the mail stays mail.
      {"Please release 192.0.2.7 from your blocklist", ""},
      {"Release 2.4.1.7 notes", ""},
      {"Release " + t.substr(0, t.size() - 1), ""},
      {"Release " + t + "A", ""},
      {"Release " + t + ".extra", ""},
      {"Release 0123456789abcdef" + t.substr(16), ""},
      {"Release " + t.substr(0, 33) + "x" + t.substr(33), ""},
      {"Re: Release\xC2\xA0" + t, t},
      {"Release" + t, ""},
  };
  for (const auto& [subject, token] : cases) EXPECT_EQ(FindReleaseToken(subject), token) << subject;
  // What the logs keep of a Subject: every word of a token's shape goes, wherever it stands.
  const std::pair<std::string, std::string> logged[] = {
      {"Fwd: look at " + t, "Fwd: look at TOKEN"},
      {"Re: [Release] " + t + ".", "Re: [Release] TOKEN."},
      {"Release=" + t + " and Release " + t, "Release=TOKEN and Release TOKEN"},
      {"Release 2.4.1.7 notes", "Release 2.4.1.7 notes"},
  };
  for (const auto& [subject, kept] : logged) EXPECT_EQ(WithoutTokens(subject), kept) << subject;
}

TEST(Base64Url, EachTextHasOneReading) {
  for (const std::string bytes : {"", "f", "fo", "foo", "foob", "fooba", "\xff\xfe\x00\x01"}) {
    std::string back;
    EXPECT_TRUE(DecodeBase64Url(EncodeBase64Url(bytes), &back) && back == bytes) << bytes;
  }
  EXPECT_EQ(EncodeBase64Url("\xfb\xff"), "-_8");
  std::string ignored;
  for (const char* text : {"Zg=", "Zh", "Z", "Zm9v!"}) EXPECT_FALSE(DecodeBase64Url(text, &ignored)) << text;
}

}  // namespace
}  // namespace saplugin
