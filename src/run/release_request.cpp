#include "run/release_request.h"

#include <ctime>

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
      const std::string name = LowerCase(line.substr(0, line.find(':')));
      const std::string value = line.find(':') == std::string::npos ? "" : line.substr(line.find(':') + 1);
      bool* const seen = name == "to" ? &to_seen : name == "cc" ? &cc_seen : nullptr;
      if (seen != nullptr && *seen) fields.other_recipients = true;
      if (name == "bcc" || name.rfind("resent-", 0) == 0) fields.other_recipients = true;
      std::string* const target = name == "to" && !to_seen                       ? &fields.to
                                  : name == "cc" && !cc_seen                     ? &fields.cc
                                  : name == "subject" && fields.subject.empty()  ? &fields.subject
                                  : name == "message-id" && fields.message_id.empty() ? &fields.message_id
                                  : name == "x-quarantine-digest" && fields.seal.empty() ? &fields.seal
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
  fields.seal = Trim(fields.seal, " \t");
  fields.message_id = Trim(fields.message_id, " \t<>");
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

bool IsOwnDigest(Platform& platform, FileSystem& fs, const PluginOptions& options, const QuarantineMailFields& fields, const std::string& message_file) {
  if (options.DigestFrom.empty() || options.QuarantinePath.empty() || fields.seal.empty() || fields.message_id.empty()) return false;
  std::string key;
  try {
    key = SiteKey(platform, fs, options.QuarantinePath, false);
  } catch (const Error&) {
    return false;  // without a key no seal is whole; sacheck says what is wrong with it
  }
  // The body as it came, after the header section (which the server adds its own lines to).
  Sha256 body;
  auto reader = fs.OpenTextFileForReading(message_file);
  while (!reader->AtEndOfStream() && !reader->ReadLine(kHeaderLineLimit).empty()) {
  }
  char block[16384];
  for (std::size_t got; (got = reader->Read(block, sizeof block)) > 0;) body.Update(block, got);
  reader->Close();
  return SameSecret(DigestSeal(key, fields.message_id, body.HexDigest()), fields.seal);
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
