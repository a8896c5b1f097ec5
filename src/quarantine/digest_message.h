#pragma once

// The digest as mail: a standard message (RFC 5322, MIME) listing one
// recipient's quarantined messages, newest first, with a text part and an
// HTML part, each with a release link per message. Nothing of a listed
// message goes into it but the fields given here, cleaned and escaped.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace saplugin {

struct DigestItem {
  std::time_t quarantined = 0;
  std::string from, subject;  // decoded, as a person reads them
  std::string score;
  std::int64_t size = 0;
  std::string token;  // the release link's
};

struct DigestHeader {
  std::string from;        // DIGESTFROM, where release requests go
  std::string to;          // the recipient
  std::time_t date = 0;    // when it is sent
  std::string message_id;  // without the angle brackets
  std::size_t older = 0;   // the recipient's older messages that it does not list
  std::string key;         // the site's key, which seals the digest; none: no seal
};

// The whole message, its lines ending with CRLF, none over 998 octets.
std::string DigestMessage(const DigestHeader& header, const std::vector<DigestItem>& items);

// The link that writes a release request for the token.
std::string ReleaseLink(const std::string& digest_from, const std::string& token);

// A time as a Date field gives it ("Wed, 09 Dec 2026 06:40:00 +0100"), in local time.
std::string MailDate(std::time_t moment);

// Quoted-printable (RFC 2045, 6.7) of text whose lines end with CRLF, and base64 in lines of 76.
std::string QuotedPrintable(const std::string& text);
std::string Base64Lines(const std::string& bytes);

}  // namespace saplugin
