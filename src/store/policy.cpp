#include "store/policy.h"

#include <cmath>
#include <cstdlib>

namespace saplugin {

const char* const kDecidedByFlag = "no readable score: decided by the filter's flag";

bool ReadScore(const std::string& text, double* score) {
  // A plain decimal, as SpamAssassin writes it; anything else is no score.
  std::size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  const std::size_t digits = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (i == digits || i - digits > 9) return false;
  if (i < text.size() && text[i] == '.') {
    const std::size_t fraction = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == fraction) return false;
  }
  if (i != text.size()) return false;
  *score = std::strtod(text.c_str(), nullptr);
  return std::isfinite(*score);
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

std::string TestModeOutcome(const std::string& outcome) {
  static const std::pair<const char*, const char*> kWords[] = {{"tagged", "would-tag"},         {"kept", "would-keep"},
                                                               {"quarantined", "would-quarantine"}, {"deleted", "would-delete"},
                                                               {"left", "would-leave"},         {"bypassed", "would-bypass"}};
  for (const auto& [done, would] : kWords) {
    if (outcome == done) return would;
  }
  return outcome;
}

bool IsTestModeOutcome(const std::string& outcome) { return outcome.compare(0, 6, "would-") == 0; }

}  // namespace saplugin
