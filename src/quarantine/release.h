#pragma once

#include <string>

#include "config/plugin_options.h"
#include "platform/platform.h"
#include "store/quarantine_store.h"

namespace saplugin {

// Where a released message went.
struct Released {
  std::string connector, name;             // its connector and its name in the queue
  std::string message_file, pickup_file;   // its two queue files
};

// Puts a quarantined message back into its connector's queue, byte for byte
// as it arrived: the message file into Inbound\Messages, then the pickup file
// into Inbound, each whole and on disk before the next step (made under a
// passing name in Inbound\Messages, then moved to its own name only where no
// file of that name is), and only then removes the quarantine's copies.
// Before the pickup file goes in, a mark is left that lets the next run for
// the message pass it unscanned. A crash at any moment leaves the message in
// the quarantine, in the queue, or in both: a queue file that is already
// there with the same bytes (from a release that was cut short) counts as
// done, so that releasing again finishes the work without doubling it.
// connector names the queue when the message's record does not (a message
// quarantined before records were kept); its name in the queue is then the
// id with ".MAI". Throws Error: kErrorFileExists for a queue file of that name
// with other bytes (never overwritten), kErrorFileNotFound for a message or
// pickup file missing from the quarantine, kErrorInvalidArgument for an
// unknown connector or a queue that is not there, other numbers for what
// fails on the way.
Released ReleaseMessage(Platform& platform, FileSystem& fs, const PluginOptions& options, const QuarantinedMessage& message,
                        const std::string& connector);

// The account this process runs as ("DOMAIN\user" on Windows).
std::string AccountName(Platform& platform);

}  // namespace saplugin
