#include "report/policy_replay.h"

#include <algorithm>

#include "config/conversions.h"
#include "store/run_plan.h"
#include "store/scan_log.h"

namespace saplugin {

namespace {

// A line's size column: bytes, or -1 when it holds none.
std::int64_t SizeOf(const std::string& text) { return ReadDigits(text, 18).value_or(-1); }

}  // namespace

std::string ReplayOutcome(const PluginOptions& policy, const LoggedRun& run) {
  // Runs that never met the policy: a message that was gone, one that its
  // release mark passed.
  if (run.size < 0 || run.outcome == "missing" || run.outcome == "released" || run.outcome == "release-request" || run.outcome == "digest") return "";
  // A run that ended in the trap, wherever it was, tells nothing of its scan,
  // but a bypass or the size limit decide it all the same.
  FilterFacts filter;
  const bool scanned = run.outcome != "trap" && (run.verdict == "spam" || run.verdict == "clean");
  if (scanned) {
    // The filter's flag as SpamAssassin sets it: spam from the required score
    // up. The log rounds both to a tenth: at the required score, and without
    // the two, the logged verdict stands for the flag.
    double score = 0, required = 0;
    const bool scores = ReadScore(run.score, &score) && ReadScore(run.required, &required) && score != required;
    filter.output = (scores ? score > required : run.verdict == "spam") ? OutputKind::kFlagged : OutputKind::kClean;
    filter.score = run.score;
    // The line says the filter failed, which may have cut its output short; its status plays no other part.
    if (run.reason.compare(0, 12, "exit status ") == 0) filter.exit_status = 1;
  }
  const RunPlan plan = PlanRun({policy, run.size, MarkVerdict::kNone, scanned ? &filter : nullptr});
  return plan.action == RunAction::kScan ? "" : plan.outcome;
}

bool IsCaughtOutcome(const std::string& outcome) {
  return outcome == "quarantined" || outcome == "deleted" || outcome == "would-quarantine" || outcome == "would-delete";
}

bool NewestMessages::Takes(const std::string& time) {
  ++total_;
  return kept_.size() < bound_ || (bound_ > 0 && time > kept_[oldest_.front()].time);
}

void NewestMessages::Keep(ReplayedMessage message) {
  // The heap moves places, not messages.
  const auto newer = [this](std::size_t a, std::size_t b) { return kept_[a].time > kept_[b].time; };
  if (kept_.size() < bound_) {
    kept_.push_back(std::move(message));
    oldest_.push_back(kept_.size() - 1);
  } else {
    std::pop_heap(oldest_.begin(), oldest_.end(), newer);
    kept_[oldest_.back()] = std::move(message);
  }
  std::push_heap(oldest_.begin(), oldest_.end(), newer);
}

std::vector<ReplayedMessage> NewestMessages::List() const {
  std::vector<ReplayedMessage> list = kept_;
  std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.time > b.time; });
  return list;
}

PolicyReplay::PolicyReplay(std::function<PluginOptions(const std::string& connector)> policy_of) : policy_of_(std::move(policy_of)) {}

const PluginOptions& PolicyReplay::PolicyOf(const std::string& connector) {
  auto found = policies_.find(connector);
  if (found != policies_.end()) return found->second;
  if (policies_.size() >= kConnectors) policies_.clear();
  return policies_.emplace(connector, policy_of_(connector)).first->second;
}

void PolicyReplay::Add(const std::vector<std::string>& f) {
  // A release line stands for the quarantined spam it names.
  static const std::string kQuarantined = "quarantined", kSpam = "spam", kNone;
  const bool release = IsReleaseLine(f);
  const LoggedRun run{release ? kQuarantined : f[kLogOutcome], release ? kSpam : f[kLogVerdict], f[kLogScore], f[kLogRequired],
                      release ? kNone : f[kLogReason], SizeOf(f[kLogSize])};
  const std::string after = ReplayOutcome(PolicyOf(f[kLogConnector]), run);
  if (release) {
    if (after.empty()) {
      ++not_replayed["release"];
      return;
    }
    ++(IsCaughtOutcome(after) ? releases_caught : releases_through);
    if (releases.Takes(f[kLogTime])) releases.Keep({f[kLogTime], f[kLogScore], f[kLogConnector], f[kLogSubject].substr(0, 400), "quarantined", after});
    return;
  }
  // A line of no known outcome is counted as "other", and takes no room of its own.
  const std::size_t before = ReportOutcomeIndex(f[kLogOutcome]);
  auto connector = connectors.find(f[kLogConnector]);
  if (connector == connectors.end()) connector = connectors.emplace(connectors.size() < kConnectors ? f[kLogConnector] : "(others)", ReplayCounts{}).first;
  if (after.empty()) {
    ++all.not_replayed;
    ++connector->second.not_replayed;
    ++not_replayed[kReportOutcomes[before]];
    return;
  }
  const std::size_t now = ReportOutcomeIndex(after);
  for (ReplayCounts* counts : {&all, &connector->second}) {
    ++counts->cells[before][now];
    ++counts->replayed;
    counts->changed += before != now;
  }
  if (before != now && changes.Takes(f[kLogTime])) changes.Keep({f[kLogTime], f[kLogScore], f[kLogConnector], f[kLogSubject].substr(0, 400), kReportOutcomes[before], after});
}

}  // namespace saplugin
