#pragma once

// What becomes of one picked-up message, decided from plain facts: the
// options laid for its connector, its size, its release mark and what the
// filter gave. The run carries the plan out; the report replays it over
// logged lines under another policy, and sacheck's trial scan reads the
// filter's part of it. Nothing else decides.

#include <cstdint>
#include <optional>
#include <string>

#include "config/plugin_options.h"
#include "platform/platform.h"
#include "store/release_mark.h"
#include "store/scan_record.h"

namespace saplugin {

// Exit statuses of a run.
constexpr int kExitNormal = 0;         // the run ended normally, silent gates included
constexpr int kExitTrapped = 1;        // the run ended in the catch-all trap
constexpr int kExitConfiguration = 2;  // an error escaped the trap: configuration or event log
constexpr int kExitNoScan = 3;         // the filter returned no message; nothing was changed
constexpr int kExitTimeLimit = 4;      // the filter took longer than SCANTIMELIMIT; nothing was changed

// What the filter left in the output file.
enum class OutputKind {
  kNone,       // no file, or not looked at: the filter did not end by itself, or no spamd host scanned it
  kCrashed,    // the filter crashed or was killed: what it wrote is not read
  kNoMessage,  // empty, or not starting with a header field
  kFlagged,    // a message whose header section holds "X-Spam-Flag: YES"
  kClean,      // a message without it
};

// What one pass of the filter gave.
struct FilterFacts {
  std::optional<long> exit_status = 0;  // none: ended at SCANTIMELIMIT
  std::string local_failure;            // why this machine could not scan through spamd
  std::string spamd_failures;           // what each spamd host did, when none scanned the message
  std::string spamd_passed_over;        // what the hosts asked before the one that scanned it did
  std::string spamd_host;               // the host that scanned it
  std::optional<bool> spamd_spam;       // spamd's own verdict, from its Spam field
  OutputKind output = OutputKind::kNone;
  // spamd's score and required score, else the output's X-Spam-Status ones; its rules.
  std::string score, required, rules;
};

// Why a scan gave no verdict to act on, or that its filter failed.
enum class ScanFault {
  kNone,
  kTimeLimit,     // ended at SCANTIMELIMIT
  kLocalFailure,  // this machine could not scan through spamd
  kNoHost,        // no spamd host scanned it
  kNoOutput,      // no output file
  kCrashed,       // the filter crashed or was killed
  kNoMessage,     // the output is no message
  kFailed,        // a message came back, from a filter whose exit status is not 0: it may be cut short
};

// The filter's own word on the message, before any policy: its fault, and
// whether it flagged it (spamd's Spam field counts as the flag). flagged
// means something only for kNone and kFailed.
struct FilterResult {
  ScanFault fault = ScanFault::kNone;
  bool flagged = false;
};
FilterResult JudgeFilter(const FilterFacts& filter);

struct RunFacts {
  const PluginOptions& options;  // as laid for the message's connector
  std::int64_t size = -1;        // the message's bytes; -1: it is not in the queue
  MarkVerdict mark = MarkVerdict::kNone;
  const FilterFacts* filter = nullptr;  // none before the scan
  bool release_request = false;         // a reply to a digest that asks for a release
  bool own_digest = false;              // a digest that this site sent, on its way to its recipient
};

enum class RunAction {
  kPass,        // unscanned, as it is: gone, released, bypassed or too large
  kRequest,     // a release request: the message it names is released, the request removed
  kScan,        // run the filter, then plan again with what it gave
  kReplace,     // the filter's output takes the message's place
  kQuarantine,  // the message moves into the quarantine
  kDelete,      // the pickup file and the message go
  kLeave,       // it stays as it arrived: left, kept, in test mode, or not scanned for a fault
};

struct RunPlan {
  RunAction action = RunAction::kPass;
  bool remove_mark = false;  // the release mark goes first (planned before the scan only)
  bool mark_spam = false;    // kReplace: the copy says it is spam, which the filter did not flag
  int exit_status = kExitNormal;
  // The event-log entry, written once the rest is done; empty: none.
  EventLevel level = EventLevel::kError;
  std::string entry;
  // The scan log's words: the outcome, and what the filter said.
  std::string outcome, verdict, reason, score, required, rules, host;
  FilterResult filter;

  // Notes the plan's words in the run's record.
  void Log(ScanRecord& record) const;
};

// The gates (no message, a release request, its release mark, a bypass, the size limit), then,
// given the filter's facts, the scan's verdict by the policy.
RunPlan PlanRun(const RunFacts& facts);

// A run that an error ended wherever it was: the trap's entry, with the error's description.
RunPlan PlanTrap(const std::string& reason);

// True when the plan needs the output's X-Spam-Status: for the score bands or the scan log.
bool PlanReadsScore(const PluginOptions& options);

// The policy's part of the plan: a scanned message's verdict by the score
// bands or the filter's flag, and the action for it.
struct PolicyDecision {
  bool spam = false;
  // For spam: 0 the tagged copy replaces the message, 1 quarantine, 2
  // delete, anything else leave it. For clean mail: 0 replace, 3 keep (as
  // KEEPORIGINAL asks, or when the filter flagged what the score clears).
  std::int16_t action = 0;
  // SPAMSCORE is set but the output had no readable score: the flag decided.
  bool by_flag = false;
  // Spam by its score that the filter did not flag, tagged: the copy that
  // replaces the message must say that it is spam, or the recipients' junk
  // rules read the filter's "No" marks.
  bool mark_spam = false;
  // The scan log's word for what is done: tagged, kept, quarantined,
  // deleted or left; in test mode what would have been: would-tag,
  // would-keep, would-quarantine, would-delete or would-leave.
  std::string outcome;
};

// The scan log's reason when SPAMSCORE is set and the score is unreadable.
extern const char* const kDecidedByFlag;

// A score as the filter wrote it ("6.5", "-0.1"), when the text is one.
bool ReadScore(const std::string& text, double* score);

// Decides a scanned message by the options' policy: the filter's flag, and
// its score text (empty when it gave none). Quarantining without a
// quarantine folder tags instead.
PolicyDecision DecidePolicy(const PluginOptions& options, bool flagged, const std::string& score);

// True for the words of a test-mode run: the message was left as it arrived.
bool IsTestModeOutcome(const std::string& outcome);

}  // namespace saplugin
