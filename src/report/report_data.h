#pragma once

// What a report shows, gathered from the scan log's lines one at a time:
// counts and histograms only, plus bounded lists (the slowest messages, an
// example of each kind of failure), so that memory stays the same however
// many lines are read.

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace saplugin {

class PolicyReplay;

// The outcomes a report counts, in the order its charts stack them: what
// was done to a scanned message, what test mode would have done (the message
// has its verdict; nothing was done to it), what passed unscanned, failures.
extern const char* const kReportOutcomes[];
constexpr std::size_t kReportOutcomeCount = 20;
// An outcome's place in kReportOutcomes; "other"'s for a word not there.
std::size_t ReportOutcomeIndex(const std::string& outcome);

// The keys that come most, in bounded memory (the space-saving count): once
// it holds its bound, a new key takes the place of the least counted one and
// starts from that count, so that a key that comes often late still rises to
// the top. A count is then at most the least count above the truth.
class TopCounts {
 public:
  explicit TopCounts(std::size_t bound) : bound_(bound) {}
  void Add(const std::string& key);
  // The keys by count, most first (ties by key), at most n of them.
  std::vector<std::pair<std::string, long>> Top(std::size_t n) const;

 private:
  std::size_t bound_;
  std::map<std::string, long> counts_;
  std::set<std::pair<long, std::string>> by_count_;
};

// Counts of one period. A message is a run that found its message (an
// operator's release line is a release, not a message); the spam share is of
// the messages that got a verdict.
struct PeriodCounts {
  long messages = 0, spam = 0, clean = 0, releases = 0, lines = 0;
  // Recipients' requests through the digest: those that released, and those that released nothing.
  long recipient_releases = 0, refused_requests = 0;
  std::int64_t bytes = 0;  // of the messages that got a verdict
  std::array<long, kReportOutcomeCount> outcomes{};
  long Outcome(const std::string& outcome) const;
  long Verdicts() const { return spam + clean; }
};

// Filter seconds as a histogram of buckets 1 % apart, from 1 ms to a day,
// with the slowest value itself: a percentile is within 1 % of the exact one
// and never above the slowest value.
class TimeHistogram {
 public:
  void Add(double seconds);
  long Count() const { return count_; }
  // The time below which the fraction of the values lies: its bucket's upper
  // edge, or the slowest value when that is lower.
  double Percentile(double fraction) const;

 private:
  std::vector<long> buckets_;
  long count_ = 0;
  double slowest_ = 0;
};

struct SlowMessage {
  double seconds = 0;
  std::string time, connector, message, subject, outcome;
};

// A quarantined spam message whose score was close to the required score.
struct NearSpam {
  double score = 0;
  std::string time, id, from, subject;  // id: its name in the quarantine
};

// True for a scan log line that an operator's release wrote (saquarantine),
// not a run: its outcome "released" with the account in its reason.
bool IsReleaseLine(const std::vector<std::string>& fields);

// A failure's reason with what differs between its occurrences taken out
// (run names, the message's name, paths, host addresses), and the numbers
// that tell causes apart (exit statuses, error numbers) left in. A reason of
// several parts (what each spamd host did) gives each cause once, in one
// order, whatever the order the hosts were tried in.
std::string FailureCause(const std::string& reason, const std::string& message);

// The parts of a reason, "; " between them outside the quotes that hold what
// a host said.
std::vector<std::string> ReasonParts(const std::string& reason);

// True for a line whose filter ended normally: it gave a verdict, and its
// reason names no exit status of a failed filter (a run that then ended in
// the trap counts; a time limit, a failed filter, no message do not). Its
// filter_seconds is then the scan's time.
bool FilterEndedNormally(const std::vector<std::string>& fields);

struct FailureKind {
  long count = 0;
  std::string newest_time, example;
};

struct ConnectorCounts {
  long messages = 0, spam = 0, verdicts = 0, failures = 0;
};

// One spamd host of the pool: the messages it scanned, the filter times of
// its own exchanges (a line whose reason names a host passed over first also
// timed the wait on that host: the log cannot take it out, so such a line has
// no time), and the times a run met it failing (passed over, or when no host
// scanned).
struct HostCounts {
  long messages = 0, failures = 0;
  TimeHistogram times;
};

// The hosts a scan log line's reason names as failing: each of its parts
// ("; " between them) names its host as host:port or [address]:port.
std::vector<std::string> FailedHosts(const std::string& reason);

// The period [first, last] of days ("YYYY-MM-DD"), and the one of the same
// length before it, for comparison.
struct ReportPeriod {
  std::string first, last, previous_first, previous_last;
  int length = 1;  // in days
  bool SingleDay() const { return first == last; }
  // The first day of the trend's oldest period: the period and the
  // kTrendPeriods - 1 of the same length before it.
  std::string TrendFirst() const;
};

// How many periods the trend shows, the current one included.
constexpr int kTrendPeriods = 8;

// The domain of a From field's address ("Ann <ann@Example.COM>" gives
// "example.com"); empty when it holds none, or when the log's limit cut its
// address (an <address> without its ">", a bare one that runs to the limit).
std::string SenderDomain(const std::string& from);

class ReportData {
 public:
  static constexpr double kScoreLow = -10, kScoreHigh = 30;  // the score histograms' range, 1-point bins
  static constexpr std::size_t kSlowest = 20, kFailureKinds = 200, kRules = 5000, kConnectors = 1000, kDomains = 5000, kHosts = 100;

  explicit ReportData(ReportPeriod period);

  // Takes one line of a scan log, split into its fields. Lines outside both
  // periods are counted as out of range; a line that is no record is skipped
  // and counted with its reason.
  void Add(const std::vector<std::string>& fields);
  void Skip(const std::string& reason) {
    if (++skipped[reason] == 1) skipped_where[reason] = source;
  }
  // A line that is no whole record (cut short, too long), skipped.
  void AddCut(const std::string& reason) {
    ++lines;
    Skip(reason);
  }

  ReportPeriod period;
  PeriodCounts current, previous;
  std::array<PeriodCounts, kTrendPeriods> trend;  // the current period first, then each one before it
  std::array<std::pair<std::string, std::string>, kTrendPeriods> trend_days;  // their first and last days
  TopCounts spam_domains{kDomains}, clean_domains{kDomains};  // senders' domains, from the From column
  // Per day (or per hour of a single day): the counts of each outcome.
  std::map<std::string, std::array<long, kReportOutcomeCount>> buckets;
  std::vector<long> clean_scores, spam_scores;  // kScoreHigh - kScoreLow + 2 bins; the first and last take what lies beyond
  std::map<std::string, long> required_scores;
  long near_misses = 0;
  std::map<std::string, long> spam_rules, clean_rules;
  std::map<std::string, TimeHistogram> filter_times;  // by day, of the scans that ended normally
  std::vector<SlowMessage> slowest;                    // kept sorted, slowest first
  std::map<std::string, ConnectorCounts> connectors;
  std::map<std::string, HostCounts> hosts;  // by the host column (logs written before it have none)
  std::map<std::string, FailureKind> failures;  // by "outcome: cause"
  std::map<std::string, long> skipped;
  std::map<std::string, std::string> skipped_where;  // the first skipped line of each reason: its file and line
  std::string source;                                // the file and line being added, for skipped_where
  // Spam at the required score or within one point above it: those that
  // the quarantine holds now may be its mistakes. The newest kSlowest of
  // them; none when the quarantine is not read (quarantine_holds unset).
  long near_spam = 0;
  std::vector<NearSpam> near_spam_quarantined;
  const std::set<std::string>* quarantine_holds = nullptr;  // the ids of the messages in the quarantine
  std::set<std::string> days_without_logs;  // of the trend's days, as the reader found them
  // A single day's hours come from the lines' own offsets, not the reader's
  // zone: each offset the day's lines carry, with the first moment of it (in
  // minutes from the day's 00:00 UTC), and the offset of the day before's last line.
  std::map<std::string, long> day_offsets;
  std::string offset_before;
  long offset_before_at = 0;
  long out_of_range = 0, lines = 0;
  // When set, each line of the current period is replayed under its policy too.
  PolicyReplay* replay = nullptr;

  // The required score most lines gave, or empty.
  std::string RequiredScore() const;
  // A single day's hours, as "HH+hh:mm" in the order they passed: 24, or
  // 23 or 25 where the lines' offsets change within the day (the day before's
  // last line gives the offset that the day starts with). Hours of lines
  // that fit none are added in their place.
  std::vector<std::string> DayHours() const;
};

}  // namespace saplugin
