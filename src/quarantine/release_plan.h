#pragma once

// What a release of one quarantined message does, decided from plain facts
// gathered under the message's lock: the record's state, the quarantine's
// copies, what lies in the queue under the message's name and the mark.

#include "store/quarantine_store.h"

namespace saplugin {

// A queue file of the message's name, against the quarantine's copy of it.
enum class Queued { kAbsent, kSame, kOther };  // kSame: the copy's bytes

// The mark under the message's connector and name.
enum class MarkOf {
  kNone,
  kThis,            // made for this message
  kOtherCutShort,   // another message's whose release was cut short
  kOther,           // another message's, its release done or unknown
};

struct ReleaseFacts {
  EntryState state = EntryState::kWhole;
  bool message_copy = true, pickup_copy = true;  // the quarantine's copies are there
  bool copies_whole = true;                      // with the sizes the record names
  Queued message = Queued::kAbsent, pickup = Queued::kAbsent;
  MarkOf mark = MarkOf::kNone;
  bool force = false;
};

// Why a release is refused (kNone: it is not).
enum class ReleaseRefusal {
  kNone,
  kCopiesNotWhole,     // its run stopped while copying into the quarantine
  kStillInQueue,       // its run stopped before removing the queue files
  kMaybeTakenOn,       // its run had removed both: the server may have the message (force puts it back)
  kCopyMissing,        // the message or the pickup file is missing from the quarantine
  kQueueFileThere,     // a queue file of that name that is not this message's own
  kOtherCutShort,      // another message's release under that name waits to be finished
};

struct ReleasePlan {
  ReleaseRefusal refusal = ReleaseRefusal::kNone;
  bool blocked_by_pickup = false;  // kQueueFileThere: the pickup file of that name (else the message file)
  bool released_before = false;  // done by an earlier release: only what is left goes
  bool put_message = false;      // the message file goes into the queue
  bool put_pickup = false;       // the pickup file goes into the queue (and the mark is written first)
  // When putting a file fails: the state the record goes back to, and whether
  // the message file in the queue (put now or by a release cut short) goes too.
  EntryState on_failure = EntryState::kWhole;
  bool remove_message_on_failure = false;
};

ReleasePlan PlanRelease(const ReleaseFacts& facts);

// Whether a message file that is still in the queue without its pickup file
// (and holds the copy's bytes) is the quarantined message's own leftover,
// which delete removes with the entry: a run that stopped between its two
// deletions left it, or a release cut short.
bool LeftoverInQueue(const ReleaseFacts& facts);

}  // namespace saplugin
