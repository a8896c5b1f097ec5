#include "store/run_plan.h"

#include "config/conversions.h"

namespace saplugin {

const char* const kDecidedByFlag = "no readable score: decided by the filter's flag";

namespace {

const char* const kNoEmail = "SpamAssassin didn't return an email. Configuration problem.";
const char* const kTrapEntry = "Could not process pickup event for Connector: ";

std::string TestModeOutcome(const std::string& outcome) {
  static const std::pair<const char*, const char*> kWords[] = {{"tagged", "would-tag"},         {"kept", "would-keep"},
                                                               {"quarantined", "would-quarantine"}, {"deleted", "would-delete"},
                                                               {"left", "would-leave"},         {"bypassed", "would-bypass"}};
  for (const auto& [done, would] : kWords) {
    if (outcome == done) return would;
  }
  return outcome;
}

// A scan whose message stays in the queue as it arrived, for a fault: one Error entry says why.
RunPlan Unscanned(RunPlan plan, const char* outcome, int exit_status, const std::string& entry) {
  plan.action = RunAction::kLeave;
  plan.outcome = outcome;
  plan.exit_status = exit_status;
  plan.level = EventLevel::kError;
  plan.entry = entry;
  return plan;
}

RunPlan PlanScan(const PluginOptions& options, const FilterFacts& filter, RunPlan plan) {
  plan.filter = JudgeFilter(filter);
  switch (plan.filter.fault) {
    case ScanFault::kTimeLimit:
      // Whatever the ended filter wrote is no message. Through spamd, the hosts it waited on are named.
      plan.reason = filter.spamd_failures;
      return Unscanned(plan, "time-limit", kExitTimeLimit,
                       "SpamAssassin did not finish within " + SecondsText(options.ScanTimeLimit) + "; the message was left unscanned" +
                           (filter.spamd_failures.empty() ? "." : ": " + filter.spamd_failures + "."));
    case ScanFault::kLocalFailure:
      plan.reason = filter.local_failure;
      return Unscanned(plan, "filter-failed", kExitNoScan,
                       "The message could not be scanned through spamd, and was left unscanned: " + filter.local_failure + ".");
    case ScanFault::kNoHost:
      plan.reason = filter.spamd_failures;
      return Unscanned(plan, "no-message", kExitNoScan, "No spamd host scanned the message, which was left unscanned: " + filter.spamd_failures + ".");
    default:
      break;
  }
  // Hosts passed over on the way stay in the log, so that each host's failures can be counted.
  const long status = *filter.exit_status;
  plan.reason = status == 0 ? filter.spamd_passed_over : "exit status " + std::to_string(status);
  plan.host = filter.spamd_host;
  const ScanFault fault = plan.filter.fault;
  if (fault == ScanFault::kNoOutput || fault == ScanFault::kCrashed || fault == ScanFault::kNoMessage) {
    return Unscanned(plan, "no-message", kExitNoScan, kNoEmail);
  }
  const PolicyDecision decision = DecidePolicy(options, plan.filter.flagged, filter.score);
  if (decision.by_flag) plan.reason += (plan.reason.empty() ? "" : "; ") + std::string(kDecidedByFlag);
  plan.verdict = decision.spam ? "spam" : "clean";
  plan.score = filter.score;
  plan.required = filter.required;
  plan.rules = filter.rules;
  // A filter that failed without crashing (a full disk, a daemon lost in mid
  // answer, a wrapper whose last command failed) may have cut its output
  // short after a whole header section: such an output never takes the
  // message's place. What needs no more than the verdict is still done.
  // In test mode nothing is done: the message stays as it arrived.
  const bool replaces = !options.TestMode && decision.action == 0;
  const std::string failed = "SpamAssassin failed with exit status " + std::to_string(status) + "; ";
  if (fault == ScanFault::kFailed && replaces) return Unscanned(plan, "filter-failed", kExitNoScan, failed + "the message was left unscanned.");

  // A bypass comes this far in test mode only.
  plan.outcome = options.Bypass ? TestModeOutcome("bypassed") : decision.outcome;
  // Clean mail's action is 0 or 3 (kept as received): only spam is quarantined or deleted.
  plan.action = RunAction::kLeave;
  if (replaces) {
    plan.action = RunAction::kReplace;
  } else if (!options.TestMode && decision.action == 1) {
    plan.action = RunAction::kQuarantine;
  } else if (!options.TestMode && decision.action == 2) {
    plan.action = RunAction::kDelete;
  }
  plan.mark_spam = decision.mark_spam;
  if (fault == ScanFault::kFailed) {
    // Only what needed no more than the verdict can have been done: kept, quarantined, deleted or left.
    const std::string& done = decision.outcome;
    plan.level = EventLevel::kWarning;
    plan.entry = failed + (options.TestMode ? "in test mode, the message was left as it arrived."
                           : done == "kept" ? "the message was kept as received."
                           : done == "left" ? "the message it flagged was left in the queue."
                                            : "the message it flagged was " + done + ".");
  }
  return plan;
}

}  // namespace

FilterResult JudgeFilter(const FilterFacts& filter) {
  FilterResult result;
  // spamd's own word counts: a site may have it drop or rename the flag line.
  // Either saying spam makes it spam.
  result.flagged = filter.output == OutputKind::kFlagged || filter.spamd_spam.value_or(false);
  // A filter that crashed or was killed may have left a cut output that looks
  // like a message, and an output that is no message must never take the
  // message's place: both count as no output at all.
  result.fault = !filter.exit_status                       ? ScanFault::kTimeLimit
                 : !filter.local_failure.empty()           ? ScanFault::kLocalFailure
                 : !filter.spamd_failures.empty()          ? ScanFault::kNoHost
                 : filter.output == OutputKind::kNone    ? ScanFault::kNoOutput
                 : filter.output == OutputKind::kCrashed ? ScanFault::kCrashed
                 : filter.output == OutputKind::kNoMessage ? ScanFault::kNoMessage
                 : *filter.exit_status != 0                ? ScanFault::kFailed
                                                           : ScanFault::kNone;
  return result;
}

RunPlan PlanRun(const RunFacts& facts) {
  const PluginOptions& options = facts.options;
  RunPlan plan;
  if (facts.size < 0) {
    plan.outcome = "missing";
    return plan;
  }
  plan.action = RunAction::kPass;
  // A message that saquarantine released passes once unscanned: the mark
  // that the release left goes with this run, as does one past its time.
  plan.remove_mark = !facts.filter && (facts.mark == MarkVerdict::kPasses || facts.mark == MarkVerdict::kExpired);
  plan.outcome = "released";
  if (facts.mark == MarkVerdict::kPasses) return plan;
  // A release request is the quarantine's mail, on any connector, never scanned.
  if (facts.release_request && !facts.filter) {
    plan.outcome = "release-request";
    plan.action = RunAction::kRequest;
    return plan;
  }
  // The site's own digest lists spam subjects: scanned, it would be quarantined itself.
  plan.outcome = "digest";
  if (facts.own_digest && !facts.filter) return plan;
  // Trusted mail passes unscanned; in test mode it is scanned, and logged as what would have passed.
  plan.outcome = "bypassed";
  if (options.Bypass && !options.TestMode) return plan;
  plan.outcome = "too-large";
  if (options.MaxMessageSize > 0 && facts.size > options.MaxMessageSize) return plan;
  plan.outcome.clear();
  plan.action = RunAction::kScan;
  return facts.filter ? PlanScan(options, *facts.filter, plan) : plan;
}

RunPlan PlanTrap(const std::string& reason) {
  RunPlan plan;
  plan.exit_status = kExitTrapped;
  plan.entry = kTrapEntry + reason;
  plan.outcome = "trap";
  plan.reason = reason;
  return plan;
}

bool PlanReadsScore(const PluginOptions& options) { return !options.ScanLogPath.empty() || options.SpamScore || options.HighScore; }

void RunPlan::Log(ScanRecord& record) const {
  record.outcome = outcome;
  record.verdict = verdict;
  record.reason = reason;
  record.score = score;
  record.required = required;
  record.rules = rules;
  record.host = host;
}

bool ReadScore(const std::string& text, double* score) {
  const std::optional<double> read = ReadDecimal(text, {9, kAnyDigits});
  if (read) *score = *read;
  return read.has_value();
}

PolicyDecision DecidePolicy(const PluginOptions& options, bool flagged, const std::string& score_text) {
  PolicyDecision decision;
  double score = 0;
  const bool scored = ReadScore(score_text, &score);
  decision.spam = flagged;
  if (options.SpamScore) {
    if (scored) decision.spam = score >= *options.SpamScore;
    else decision.by_flag = true;
  }
  if (!decision.spam) {
    // What the filter flagged carries its marks (SpamAssassin may have
    // wrapped it in its report): cleared by the score, it passes as received.
    const bool keep = options.KeepOriginal || flagged;
    decision.action = keep ? 3 : 0;
    decision.outcome = keep ? "kept" : "tagged";
  } else {
    const bool high = options.HighScore && options.HighScoreAction && scored && score >= *options.HighScore;
    decision.action = high ? *options.HighScoreAction : options.Quarantine;
    if (decision.action == 1 && options.QuarantinePath.empty()) decision.action = 0;
    static const char* const kSpamOutcomes[] = {"tagged", "quarantined", "deleted"};
    decision.outcome = decision.action >= 0 && decision.action <= 2 ? kSpamOutcomes[decision.action] : "left";
    decision.mark_spam = decision.action == 0 && !flagged;
  }
  if (options.TestMode) decision.outcome = TestModeOutcome(decision.outcome);
  return decision;
}

bool IsTestModeOutcome(const std::string& outcome) { return outcome.compare(0, 6, "would-") == 0; }

}  // namespace saplugin
