#pragma once

// What becomes of a scanned message by the policy: its verdict by the score
// bands or the filter's flag, and the action for it. The run decides by it,
// and the report replays a new policy over logged lines by the same rules.

#include <cstdint>
#include <string>

#include "config/plugin_options.h"

namespace saplugin {

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
// quarantine folder tags instead, as the run does.
PolicyDecision DecidePolicy(const PluginOptions& options, bool flagged, const std::string& score);

// The scan log's word for the outcome in test mode: "quarantined" becomes
// "would-quarantine", and so on; "bypassed" becomes "would-bypass".
std::string TestModeOutcome(const std::string& outcome);

// True for the words of a test-mode run: the message was left as it arrived.
bool IsTestModeOutcome(const std::string& outcome);

}  // namespace saplugin
