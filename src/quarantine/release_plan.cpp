#include "quarantine/release_plan.h"

namespace saplugin {

namespace {

// A message file in the queue with the copy's bytes that was left there by
// this message's own run or release, not a new message of that name: its
// run stopped between its deletions, or a release put it (the mark says so).
bool OwnMessageInQueue(const ReleaseFacts& facts) {
  return facts.message == Queued::kSame && (facts.state == EntryState::kQuarantining || facts.mark == MarkOf::kThis);
}

ReleasePlan Refused(ReleaseRefusal refusal) {
  ReleasePlan plan;
  plan.refusal = refusal;
  return plan;
}

}  // namespace

ReleasePlan PlanRelease(const ReleaseFacts& facts) {
  ReleasePlan plan;
  switch (facts.state) {
    case EntryState::kReleased:
      plan.released_before = true;
      return plan;
    case EntryState::kQuarantining:
      // Its run stopped half-way: the queue says how far it came.
      if (!facts.copies_whole) return Refused(ReleaseRefusal::kCopiesNotWhole);
      if (facts.pickup != Queued::kAbsent) return Refused(ReleaseRefusal::kStillInQueue);
      if (facts.message == Queued::kAbsent && !facts.force) return Refused(ReleaseRefusal::kMaybeTakenOn);
      break;
    case EntryState::kReleasing:
      // Both in: only the end was cut short. The mark gone: a run took the
      // message, so its pickup file was in the queue and it went its way (a
      // release that fails puts its record back before its mark goes).
      if ((facts.message == Queued::kSame && facts.pickup == Queued::kSame) || facts.mark != MarkOf::kThis) return plan;
      break;
    case EntryState::kWhole:
      break;
  }
  if (!facts.message_copy || !facts.pickup_copy) return Refused(ReleaseRefusal::kCopyMissing);
  const bool own_message = OwnMessageInQueue(facts);
  if ((facts.message != Queued::kAbsent && !own_message) || facts.pickup != Queued::kAbsent) {
    plan = Refused(ReleaseRefusal::kQueueFileThere);
    plan.blocked_by_pickup = facts.message == Queued::kAbsent || own_message;
    return plan;
  }
  if (facts.mark == MarkOf::kOtherCutShort) return Refused(ReleaseRefusal::kOtherCutShort);
  plan.put_message = !own_message;
  plan.put_pickup = true;
  // Without its pickup file no run comes for the message: a failed release
  // leaves it as it found it, or, after a release cut short, only in the
  // quarantine, for the next release to start afresh.
  plan.on_failure = facts.state == EntryState::kReleasing ? EntryState::kWhole : facts.state;
  plan.remove_message_on_failure = plan.put_message || facts.state != EntryState::kQuarantining;
  return plan;
}

bool LeftoverInQueue(const ReleaseFacts& facts) {
  return facts.state != EntryState::kReleased && facts.pickup == Queued::kAbsent && OwnMessageInQueue(facts);
}

}  // namespace saplugin
