#pragma once

// The quarantine's own mail among what the runs pick up: a recipient's
// release request (the reply to a digest, addressed to DIGESTFROM alone,
// whose Subject carries "Release TOKEN"), which the run handles and removes
// from the queue, since it is meant for the quarantine and not a mailbox; and
// a digest on its way to a recipient, which passes unscanned, since the spam
// subjects it lists would have it quarantined.

#include <string>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// A queued message's fields that tell whether it is the quarantine's own mail.
struct QuarantineMailFields {
  std::string to, cc, subject;
  bool sealed = false;  // it has an X-Quarantine-Digest field: it may be the site's own digest
  // Recipients that the fields above do not show whole: a Bcc or Resent-
  // field, a second To or Cc, or one too long to read.
  bool other_recipients = false;
};

// The fields, from the message's header section read line by line. Throws
// Error when the file cannot be read.
QuarantineMailFields ReadQuarantineMailFields(FileSystem& fs, const std::string& message_file);

// The token of a message addressed to DIGESTFROM alone (every mailbox of its
// To and Cc, and nothing else) whose Subject holds "Release TOKEN"; empty
// when the message is no release request (or digests are not set up: no
// DIGESTFROM or no quarantine).
std::string ReleaseRequestToken(const PluginOptions& options, const QuarantineMailFields& fields);

// True for a digest that this site sent, within a week: its seal, made with
// the site's key over the header fields a reader is shown and the body, is
// whole, and its header section reads alike to any reader. False without a
// site key. Throws Error when the message cannot be read.
bool IsOwnDigest(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& message_file);

// What became of a request: its entry (never holding the token) and the scan log's reason.
struct RequestResult {
  EventLevel level = EventLevel::kWarning;
  std::string entry, reason;
};

// Releases the message that a valid token names, for its recipient, under
// the same locks and rules as saquarantine release. A token that is forged,
// damaged or expired, or names a message that is no longer held (or was
// released before), releases nothing. Never throws for what the request
// holds; throws Error when the quarantine itself fails.
RequestResult HandleReleaseRequest(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& token);

}  // namespace saplugin
