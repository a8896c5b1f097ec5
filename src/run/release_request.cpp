#include "run/release_request.h"

#include <ctime>

#include "platform/error.h"
#include "quarantine/release.h"
#include "store/addresses.h"
#include "store/encoded_words.h"
#include "store/release_token.h"
#include "store/scan_log.h"
#include "store/site_key.h"

namespace saplugin {

namespace {

const char* const kRefused = "A release request through the digest released nothing: ";

RequestResult Refused(const std::string& why, const std::string& reason) {
  return {EventLevel::kWarning, kRefused + why, "refused: " + reason};
}

}  // namespace

std::string ReleaseRequestToken(const PluginOptions& options, const std::string& to, const std::string& cc, const std::string& subject) {
  if (options.DigestFrom.empty() || options.QuarantinePath.empty()) return "";
  // The request is removed from the queue: only mail for the quarantine
  // alone is one, never mail that someone else is to receive as well.
  const std::vector<std::string> addressed = AddressesIn(to + "," + cc);
  if (AddressesIn(to).empty()) return "";
  for (const std::string& address : addressed) {
    if (address != options.DigestFrom) return "";
  }
  // A reply's client may have written the Subject as encoded words.
  return FindReleaseToken(DecodeEncodedWords(subject));
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
