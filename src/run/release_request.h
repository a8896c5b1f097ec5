#pragma once

// A recipient's release request: the reply to a digest, addressed to
// DIGESTFROM, whose Subject carries "Release TOKEN". The run that picks it up
// releases the message the token names, as saquarantine release does, and
// removes the request from the queue: it is meant for the quarantine, not
// for a mailbox.

#include <string>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// The token of a message addressed to DIGESTFROM alone (its To, and its Cc
// if any, name no one else) whose Subject holds "Release TOKEN"; empty when
// the message is no release request (or digests are not set up: no
// DIGESTFROM or no quarantine).
std::string ReleaseRequestToken(const PluginOptions& options, const std::string& to, const std::string& cc, const std::string& subject);

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
