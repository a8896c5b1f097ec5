#pragma once

// The period's logged runs replayed under another policy: what each message
// would have become, decided by the run's own plan (PlanRun) from what
// its line holds (verdict, score, required score, size, a failed filter's
// exit status), counted in bounded memory.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "config/plugin_options.h"
#include "report/report_data.h"

namespace saplugin {

// What a replay needs of a logged run: its line's fields, as they stand.
struct LoggedRun {
  const std::string &outcome, &verdict, &score, &required, &reason;
  std::int64_t size;
};

// The outcome the run would have logged under the policy, or empty when its
// line cannot tell: it got no verdict (unscanned, failed, found no message),
// passed by a release mark or ended in the trap (unless the policy's BYPASS
// or MAXMESSAGESIZE decides it, whatever the line holds).
std::string ReplayOutcome(const PluginOptions& policy, const LoggedRun& run);

// True for an outcome that takes the message out of the mail: quarantined or
// deleted, or in test mode would have.
bool IsCaughtOutcome(const std::string& outcome);

// A message of the lists: one whose outcome would change, or a release.
struct ReplayedMessage {
  std::string time, score, connector, subject, before, after;
};

// Lines by their outcome today and under the policy.
struct ReplayCounts {
  // [today][under the policy], each by its place in kReportOutcomes.
  std::array<std::array<long, kReportOutcomeCount>, kReportOutcomeCount> cells{};
  long replayed = 0, changed = 0, not_replayed = 0;
};

// The newest messages of a kind, at most a bound of them, and how many more.
class NewestMessages {
 public:
  explicit NewestMessages(std::size_t bound) : bound_(bound) {}
  // Counts a message of that time, and answers whether it is among the
  // newest so far: Keep it then.
  bool Takes(const std::string& time);
  void Keep(ReplayedMessage message);
  // Newest first.
  std::vector<ReplayedMessage> List() const;
  long Unlisted() const { return total_ - static_cast<long>(kept_.size()); }
  long Total() const { return total_; }

 private:
  std::size_t bound_;
  long total_ = 0;
  std::vector<ReplayedMessage> kept_;
  std::vector<std::size_t> oldest_;  // places in kept_ as a heap, the oldest on top
};

class PolicyReplay {
 public:
  static constexpr std::size_t kListed = 200, kConnectors = 1000;

  // policy_of gives a connector's policy; it is asked once per connector
  // (again only after more than kConnectors of them).
  explicit PolicyReplay(std::function<PluginOptions(const std::string& connector)> policy_of);

  // Takes one line of the period, its fields without the spreadsheet guard.
  // An operator's release line is replayed as the quarantined message it
  // names: it holds the connector, size, score and required score that its
  // run logged.
  void Add(const std::vector<std::string>& fields);

  ReplayCounts all;
  std::map<std::string, ReplayCounts> connectors;  // at most kConnectors, then "(others)"
  std::map<std::string, long> not_replayed;        // by the line's outcome ("release": a release's message of no size)
  NewestMessages changes{kListed}, releases{kListed};
  long releases_caught = 0, releases_through = 0;

 private:
  const PluginOptions& PolicyOf(const std::string& connector);

  std::function<PluginOptions(const std::string&)> policy_of_;
  std::map<std::string, PluginOptions> policies_;
};

}  // namespace saplugin
