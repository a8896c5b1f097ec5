#pragma once

// saquarantine digest: to each local recipient of the messages quarantined
// since the last digest, one message that lists them with a release link
// each, all through one SMTP connection to the mail server.

#include <ostream>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

struct DigestWords {
  bool dry = false;         // print what would be sent, send nothing
  int since_hours = -1;     // the messages of these last hours; -1: since the last digest
  int timeout_seconds = 30; // the bound of each SMTP step
};

// The file in the quarantine folder that keeps when the last digests went.
std::string LastDigestFile(const std::string& quarantine_folder);
// The file of the recipients whose digest failed while others' went, in the quarantine folder.
std::string RetryDigestFile(const std::string& quarantine_folder);

// How long a release link holds when QUARANTINEDAYS keeps messages for ever.
constexpr std::int64_t kLinkDaysWithoutPurge = 30;

// Runs one digest: a line per recipient on out, the summary and any
// failure on err, an event-log entry. Answers saquarantine's exit status.
int RunDigest(Platform& platform, FileSystem& fs, const PluginOptions& options, const DigestWords& words, std::ostream& out, std::ostream& err);

}  // namespace saplugin
