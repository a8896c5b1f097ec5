#include "run/release_request.h"

#include <algorithm>
#include <ctime>
#include <iterator>
#include <map>

#include "platform/error.h"
#include "platform/text.h"
#include "quarantine/release.h"
#include "store/addresses.h"
#include "store/encoded_words.h"
#include "store/header_fields.h"
#include "store/sha256.h"
#include "store/release_token.h"
#include "store/scan_log.h"
#include "store/site_key.h"

namespace saplugin {

namespace {

const char* const kRefused = "A release request through the digest released nothing: ";
// The longest To, Cc or Subject read of a request: a list of a few hundred addresses.
constexpr std::size_t kRequestFieldLimit = 16 * 1024;

RequestResult Refused(const std::string& why, const std::string& reason) {
  return {EventLevel::kWarning, kRefused + why, "refused: " + reason};
}

}  // namespace

QuarantineMailFields ReadQuarantineMailFields(FileSystem& fs, const std::string& message_file) {
  QuarantineMailFields fields;
  std::string* current = nullptr;  // the field that a continuation line extends
  bool to_seen = false, cc_seen = false;
  auto reader = fs.OpenTextFileForReading(message_file);
  while (!reader->AtEndOfStream()) {
    const std::string line = reader->ReadLine(kRequestFieldLimit + 1);
    if (line.empty()) break;
    if (line[0] == ' ' || line[0] == '\t') {
      if (current != nullptr) *current += line;
    } else {
      // "Cc :" as the old syntax writes it is a Cc too.
      const std::string name = LowerCase(Trim(line.substr(0, line.find(':')), " \t"));
      const std::string value = line.find(':') == std::string::npos ? "" : line.substr(line.find(':') + 1);
      bool* const seen = name == "to" ? &to_seen : name == "cc" ? &cc_seen : nullptr;
      if (seen != nullptr && *seen) fields.other_recipients = true;
      if (name == "bcc" || name.rfind("resent-", 0) == 0) fields.other_recipients = true;
      fields.sealed = fields.sealed || name == "x-quarantine-digest";
      std::string* const target = name == "to" && !to_seen                       ? &fields.to
                                  : name == "cc" && !cc_seen                     ? &fields.cc
                                  : name == "subject" && fields.subject.empty()  ? &fields.subject
                                                                                 : nullptr;
      if (seen != nullptr) *seen = true;
      current = target;
      if (target != nullptr) *target = value;
    }
    // A line as long as the read takes may have been cut.
    if (current != nullptr && (line.size() > kRequestFieldLimit || current->size() > kRequestFieldLimit)) {
      // A field too long to read whole may name anyone.
      if (current == &fields.to || current == &fields.cc) fields.other_recipients = true;
      *current = CutAtCharacter(*current, kRequestFieldLimit);
    }
  }
  reader->Close();
  return fields;
}

std::string ReleaseRequestToken(const PluginOptions& options, const QuarantineMailFields& fields) {
  if (options.DigestFrom.empty() || options.QuarantinePath.empty() || fields.other_recipients) return "";
  // The request is removed from the queue: only mail for the quarantine
  // alone is one, never mail that someone else (a mailbox that cannot be
  // read as an address included) is to receive as well.
  std::size_t unreadable = 0;
  const std::vector<std::string> addressed = AddressesIn(fields.to + "," + fields.cc, &unreadable);
  if (unreadable > 0 || AddressesIn(fields.to).empty()) return "";
  for (const std::string& address : addressed) {
    if (address != options.DigestFrom) return "";
  }
  // A reply's client may have written the Subject as encoded words.
  return FindReleaseToken(DecodeEncodedWords(fields.subject));
}

bool IsOwnDigest(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& message_file) {
  if (options.DigestFrom.empty() || options.QuarantinePath.empty()) return false;
  // The header section must read alike to the run and to any mail reader:
  // each line a field or the continuation of one that is not sealed, no
  // control characters, no blank line that a reader might end it at; each
  // sealed field and the seal once, and no other Content- field.
  std::map<std::string, std::string> sealed;
  std::string seal, last;
  bool shaped = true;
  auto reader = fs.OpenTextFileForReading(message_file);
  while (shaped && !reader->AtEndOfStream()) {
    const std::string line = reader->ReadLine(kHeaderLineLimit);
    if (line.empty()) break;
    const bool controls = std::any_of(line.begin(), line.end(), [](char c) { return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F; });
    if (controls || line.size() >= kHeaderLineLimit) {
      shaped = false;
    } else if (line[0] == ' ' || line[0] == '\t') {
      shaped = line.find_first_not_of(" \t") != std::string::npos && !last.empty() && sealed.count(last) == 0 && last != "x-quarantine-digest";
    } else {
      const std::size_t colon = line.find(':');
      last = colon == std::string::npos ? "" : LowerCase(line.substr(0, colon));
      const bool named = !last.empty() && std::all_of(last.begin(), last.end(), [](char c) { return c > 0x20 && c < 0x7F; });
      const bool is_sealed = std::find(std::begin(kSealedFields), std::end(kSealedFields), last) != std::end(kSealedFields);
      const std::string value = named ? Trim(line.substr(colon + 1), " \t") : "";
      if (!named || (last.rfind("content-", 0) == 0 && last != "content-type")) {
        shaped = false;
      } else if (is_sealed) {
        shaped = sealed.emplace(last, value).second;
      } else if (last == "x-quarantine-digest") {
        shaped = seal.empty() && !value.empty();
        seal = value;
      }
    }
  }
  if (!shaped || seal.empty() || sealed.size() != std::size(kSealedFields)) {
    reader->Close();
    return false;
  }
  const std::size_t dot = seal.find('.');
  const std::string expiry = seal.substr(0, dot);
  if (dot == std::string::npos || expiry.empty() || expiry.size() > 12 || expiry.find_first_not_of("0123456789") != std::string::npos ||
      std::stoll(expiry) < std::time(nullptr)) {
    reader->Close();
    return false;
  }
  std::string key;
  try {
    key = SiteKey(platform, fs, options.QuarantinePath, false);
  } catch (const Error&) {
    reader->Close();
    return false;  // without a key no seal is whole; sacheck says what is wrong with it
  }
  std::string fields;
  for (const char* name : kSealedFields) fields += std::string(name) + ":" + sealed[name] + "\n";
  // The body as it came, after the header section (which the server adds its own lines to).
  Sha256 body;
  char block[16384];
  for (std::size_t got; (got = reader->Read(block, sizeof block)) > 0;) body.Update(block, got);
  reader->Close();
  return SameSecret(DigestSeal(key, std::stoll(expiry), fields, body.HexDigest()), seal);
}

RequestResult HandleReleaseRequest(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& token) {
  std::string key;
  try {
    key = SiteKey(platform, fs, options.QuarantinePath, false);
  } catch (const Error& error) {
    return Refused("the site's key cannot be read: " + error.Description(), "no site key");
  }
  ReleaseTicket ticket;
  switch (ReadReleaseToken(key, token, std::time(nullptr), &ticket)) {
    case TokenVerdict::kMalformed:
    case TokenVerdict::kForged:
      return Refused("its token is not one this site signed (forged, or changed on the way).", "forged token");
    case TokenVerdict::kExpired:
      return Refused("the link for " + ticket.recipient + " to message " + ticket.id + " expired on " + ToLocalTime(ticket.expiry).stamp + ".",
                     "expired token");
    case TokenVerdict::kValid:
      break;
  }
  const std::string by = ticket.recipient + " through the digest";
  Released released;
  try {
    released = ReleaseMessage(platform, fs, options, ticket.id, {"", by, false}, nullptr);
  } catch (const Error& error) {
    if (error.Number() == kErrorFileNotFound) {
      return Refused(ticket.recipient + " asked for message " + ticket.id + ", which is no longer in the quarantine.", "no longer held");
    }
    return Refused(ticket.recipient + " asked for message " + ticket.id + ": " + error.Description(), "release failed");
  }
  if (released.before) {
    return Refused(ticket.recipient + " asked for message " + ticket.id + ", which was released " + released.when + " by " + released.by + ".",
                   "released before");
  }
  return {EventLevel::kInformation,
          "Released the quarantined message " + ticket.id + " into the queue of connector " + released.connector + " as " + released.pickup_file +
              ", by " + by + ".",
          "released " + ticket.id + " for " + ticket.recipient};
}

}  // namespace saplugin
