#include "store/release_token.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"
#include "store/names.h"
#include "store/sha256.h"

namespace saplugin {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::size_t kSignatureBytes = 16;
// The longest recipient a token carries, as an address may be (RFC 5321).
constexpr std::size_t kLongestAddress = 254;

std::string Signature(const std::string& key, const std::string& signed_part) {
  return EncodeBase64Url(HmacSha256(key, signed_part).substr(0, kSignatureBytes));
}

}  // namespace

std::string EncodeBase64(const std::string& bytes, bool url) {
  static const char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const char* const digits = url ? kAlphabet : kStandard;
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    for (std::size_t d = 0; d < 4; ++d) {
      if (i + d <= bytes.size()) text += digits[(group >> (18 - 6 * d)) & 0x3F];
      else if (!url) text += '=';
    }
  }
  return text;
}

std::string EncodeBase64Url(const std::string& bytes) { return EncodeBase64(bytes, true); }

bool DecodeBase64Url(const std::string& text, std::string* bytes) {
  if (text.size() % 4 == 1) return false;
  bytes->clear();
  std::uint32_t group = 0;
  int bits = 0;
  for (const char c : text) {
    const char* at = c ? std::strchr(kAlphabet, c) : nullptr;
    if (!at) return false;
    group = (group << 6) | static_cast<std::uint32_t>(at - kAlphabet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes->push_back(static_cast<char>((group >> bits) & 0xFF));
    }
  }
  // The bits left over must be zero, so that each text has one reading.
  return (group & ((1u << bits) - 1)) == 0;
}

bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

const char* const kSealedFields[8] = {"date", "from", "to", "subject", "message-id", "mime-version", "auto-submitted", "content-type"};

std::string DigestSeal(const std::string& key, std::int64_t expiry, const std::string& fields, const std::string& body_digest) {
  const std::string signed_part = "digest " + std::to_string(expiry) + "\n" + fields + body_digest;
  return std::to_string(expiry) + "." + Signature(key, signed_part);
}

std::string MakeReleaseToken(const std::string& key, const ReleaseTicket& ticket) {
  const std::string signed_part = ticket.id + "." + std::to_string(ticket.expiry) + "." + EncodeBase64Url(ticket.recipient);
  return signed_part + "." + Signature(key, signed_part);
}

TokenVerdict ReadReleaseToken(const std::string& key, const std::string& token, std::int64_t now, ReleaseTicket* ticket) {
  const std::size_t first = token.find('.'), second = token.find('.', first + 1), third = token.find('.', second + 1);
  if (first == std::string::npos || second == std::string::npos || third == std::string::npos || token.find('.', third + 1) != std::string::npos) {
    return TokenVerdict::kMalformed;
  }
  ReleaseTicket read;
  read.id = token.substr(0, first);
  const std::string expiry = token.substr(first + 1, second - first - 1);
  if (!IsRunName(read.id) || expiry.empty() || expiry.size() > 12 || expiry.find_first_not_of("0123456789") != std::string::npos ||
      !DecodeBase64Url(token.substr(second + 1, third - second - 1), &read.recipient) || read.recipient.size() > kLongestAddress) {
    return TokenVerdict::kMalformed;
  }
  read.expiry = std::stoll(expiry);
  if (!SameSecret(token.substr(third + 1), Signature(key, token.substr(0, third)))) return TokenVerdict::kForged;
  *ticket = read;
  return now > read.expiry ? TokenVerdict::kExpired : TokenVerdict::kValid;
}

bool IsTokenShaped(const std::string& word) {
  const std::size_t first = word.find('.'), second = word.find('.', first + 1), third = word.find('.', second + 1);
  if (first != 32 || second == std::string::npos || third == std::string::npos || word.find('.', third + 1) != std::string::npos) return false;
  const auto all_of = [&](std::size_t from, std::size_t to, const char* allowed) {
    return to > from && word.find_first_not_of(allowed, from) >= to;
  };
  return all_of(0, first, "0123456789ABCDEF") && third - second - 1 <= kLongestAddress * 4 / 3 + 4 && second - first - 1 <= 12 &&
         all_of(first + 1, second, "0123456789") && all_of(second + 1, third, kAlphabet) && word.size() - third - 1 == 22 &&
         all_of(third + 1, word.size(), kAlphabet);
}

std::string WithoutTokens(std::string text) {
  static const std::string kWord = std::string(kAlphabet) + ".";
  for (std::size_t start = text.find_first_of(kWord); start != std::string::npos; start = text.find_first_of(kWord, start)) {
    std::size_t end = text.find_first_not_of(kWord, start);
    if (end == std::string::npos) end = text.size();
    // A sentence's full stop after it is no part of it.
    std::size_t stem = end;
    while (stem > start && text[stem - 1] == '.') --stem;
    if (IsTokenShaped(text.substr(start, stem - start))) {
      text.replace(start, stem - start, "TOKEN");
      end = start + 5 + (end - stem);
    }
    start = end;
  }
  return text;
}

std::string FindReleaseToken(std::string subject) {
  // A folded or hand-typed Subject may hold tabs, line breaks and no-break spaces between the words.
  for (std::size_t at; (at = subject.find("\xC2\xA0")) != std::string::npos;) subject.replace(at, 2, " ");
  for (char& c : subject) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  const std::string folded = LowerCase(subject);
  for (std::size_t at = 0; (at = folded.find("release", at)) != std::string::npos; at += 7) {
    if (at > 0 && folded[at - 1] != ' ' && folded[at - 1] != ':' && folded[at - 1] != '[') continue;
    std::size_t start = at + 7;
    // "Release TOKEN", "Release: TOKEN", "Release <TOKEN>." as people write it.
    if (start < subject.size() && subject[start] == ':') ++start;
    if (start >= subject.size() || subject[start] != ' ') continue;
    while (start < subject.size() && subject[start] == ' ') ++start;
    std::string word = subject.substr(start, subject.find(' ', start) - start);
    if (!word.empty() && std::string("<([\"'").find(word.front()) != std::string::npos) word.erase(0, 1);
    while (!word.empty() && std::string(">)]\"'.,;:!?").find(word.back()) != std::string::npos) word.pop_back();
    // Anything else after "release" (an address, a version) is no token: the mail is ordinary mail.
    if (IsTokenShaped(word)) return word;
  }
  return "";
}

}  // namespace saplugin
