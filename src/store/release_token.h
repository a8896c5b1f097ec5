#pragma once

// The token of a digest's release link: it names a quarantined message, the
// recipient it was listed for and when it expires, signed with the site's
// key, so that a reply that carries it can release the message and nothing
// else, for that recipient, until then. Its text is
// "ID.EXPIRY.RECIPIENT.SIGNATURE": the message's id, the expiry in seconds
// since 1970 UTC, the recipient's address in base64url and the first 128
// bits of the HMAC-SHA-256 of the three, in base64url; only letters, digits,
// "-", "_" and ".", so that it passes unchanged through a Subject.

#include <cstdint>
#include <string>

namespace saplugin {

struct ReleaseTicket {
  std::string id;         // the message's run name
  std::string recipient;  // its address, in lower case
  std::int64_t expiry = 0;
};

std::string MakeReleaseToken(const std::string& key, const ReleaseTicket& ticket);

// What a token is worth at the time now.
enum class TokenVerdict { kValid, kMalformed, kForged, kExpired };
TokenVerdict ReadReleaseToken(const std::string& key, const std::string& token, std::int64_t now, ReleaseTicket* ticket);

// True when the word has a token's shape: 32 hexadecimal digits, digits,
// base64url, and a signature of 22 base64url characters, joined by dots.
bool IsTokenShaped(const std::string& word);

// The token of a release request's Subject: the word of a token's shape
// after "Release " or "Release: " (in any letter case, brackets and a
// sentence's punctuation around it taken off), wherever it stands, so that a
// reply's "Re: " or "AW: " in front does not matter; empty when there is none.
std::string FindReleaseToken(std::string subject);

// The seal of a digest that this site sends, so that the runs know it when
// it comes back through the mail server: "EXPIRY.SIGNATURE", the signature
// over the expiry, the header fields a reader is shown (as "name:value" lines,
// in the order of kSealedFields) and the SHA-256 of the body (hexadecimal).
std::string DigestSeal(const std::string& key, std::int64_t expiry, const std::string& fields, const std::string& body_digest);

// The fields a digest's seal holds, in lower case, each once in the digest.
extern const char* const kSealedFields[8];

// Compares two secrets in a time that does not depend on where they differ.
bool SameSecret(const std::string& a, const std::string& b);

// The text with every word of a token's shape in it replaced by "TOKEN":
// what the logs may keep of a Subject.
std::string WithoutTokens(std::string text);

// base64 (RFC 4648): with url, the base64url alphabet without padding;
// else the standard one, padded with "=".
std::string EncodeBase64(const std::string& bytes, bool url);

// base64url without padding (RFC 4648, section 5), and back; Decode answers
// false for a text that is not.
std::string EncodeBase64Url(const std::string& bytes);
bool DecodeBase64Url(const std::string& text, std::string* bytes);

}  // namespace saplugin
