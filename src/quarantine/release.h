#pragma once

#include <functional>
#include <string>
#include <vector>

#include "config/plugin_options.h"
#include "platform/platform.h"
#include "store/quarantine_store.h"

namespace saplugin {

// How long an operator's program waits for a message that another program
// is working on (a run still quarantining it, another release) before it
// gives up with kErrorInUse.
constexpr int kQuarantineLockWait = 10000;

// Where a released message went.
struct Released {
  std::string connector, name;            // its connector and its name in the queue
  std::string message_file, pickup_file;  // its two queue files
  bool before = false;                    // released by an earlier release: nothing was done now
  std::string when, by;                   // when that release began, and by whom
  std::vector<std::string> left;          // what could not be removed from the quarantine, and why
};

// Puts a quarantined message back into its connector's queue, byte for byte
// as it arrived, under the message's lock, in steps that each leave the
// message whole somewhere: the mark (the message's id, size and SHA-256) that
// lets its next run pass it unscanned, then the record's "releasing" with the
// time and the account, then the message file and the pickup file (each
// copied whole and on disk under a passing name of this process's own, with
// ordinary attributes, and moved to its name only where no file of that name
// is), then the record's "released". From there the release is done: on_done
// is called (learning), then the quarantine's copies go, the record last; a
// copy that cannot go is named in left and the record stays, so that a
// repeated release answers "released before", tries the removal again, and
// never delivers the message again.
// A release cut short is finished by releasing again: after "releasing", its
// mark still there says that the pickup file never reached the queue; the
// mark gone says that a run took it, so the message is not put again.
// An entry whose run stopped half-way is released only when its copies have
// the sizes its record names and the queue shows the run got past removing
// the pickup file (or with force, once the message is gone from the queue);
// while the message is still in the queue there is nothing to release.
// request.connector names the queue when the message's record does not (a
// message quarantined before records were kept). Throws Error: kErrorInUse when
// another program holds the message all through kQuarantineLockWait,
// kErrorFileExists for a queue file of that name (never overwritten),
// kErrorFileNotFound for a message or pickup file missing from the
// quarantine, kErrorInvalidArgument for a connector or name that is no single
// name or has no queue, or an entry whose run stopped before it had removed
// the queue files; other numbers for what fails on the way.
struct ReleaseRequest {
  std::string connector;  // the queue of a message without a record of it
  std::string account;    // who asks, for the record and the audit trail
  bool force = false;     // release an entry whose run stopped after copying and whose message is gone from the queue
};
Released ReleaseMessage(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& id, const ReleaseRequest& request,
                        const std::function<void(const QuarantinedMessage&)>& on_done);

// Removes every file of a quarantined message under its lock: its copies and
// record, its mark when it is the message's own and no run is to come for it,
// the message file a release cut short before the pickup file left in the
// queue, and the passing files it left there. Answers the bytes removed from the
// quarantine. Throws Error (kErrorInUse when the lock is held past the wait).
std::int64_t DeleteQuarantined(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& id, int wait_milliseconds);

// The account this process runs as, for the audit trail; never the environment's word.
std::string AccountName(Platform& platform);

}  // namespace saplugin
