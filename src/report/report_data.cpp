#include "report/report_data.h"

#include <algorithm>
#include <cmath>
#include <climits>
#include <unordered_map>

#include "config/conversions.h"
#include "platform/text.h"
#include "report/policy_replay.h"
#include "report/scan_log_reader.h"
#include "store/names.h"
#include "store/run_plan.h"
#include "store/scan_log.h"

namespace saplugin {

const char* const kReportOutcomes[] = {"tagged",       "kept",        "quarantined", "deleted",       "left",       "would-tag",  "would-keep",
                                       "would-quarantine", "would-delete", "would-leave", "would-bypass", "bypassed", "released", "too-large",
                                       "missing",      "no-message",  "filter-failed", "time-limit", "trap",       "other"};

static_assert(sizeof kReportOutcomes / sizeof *kReportOutcomes == kReportOutcomeCount, "one count per outcome");

namespace {

// The buckets' upper edges: 1 ms, then 1 % more each, up to a day. Made by
// multiplication alone, so that every platform's report draws the same edges
// (the C libraries' log and pow may differ in their last bit).
const std::vector<double>& BucketEdges() {
  static const std::vector<double> edges = [] {
    std::vector<double> made{0.001};
    while (made.back() < 86400) made.push_back(made.back() * 1.01);
    return made;
  }();
  return edges;
}

// A word of a reason that names one occurrence rather than a cause: a path,
// a host address (with its port), a run name.
bool IsOccurrenceWord(const std::string& word) {
  if (word.find('\\') != std::string::npos || word.find('/') != std::string::npos) return true;
  // A run name, alone or in a file's name.
  std::size_t hex = 0;
  for (const char c : word) {
    hex = std::isxdigit(static_cast<unsigned char>(c)) ? hex + 1 : 0;
    if (hex >= 32) return true;
  }
  // a.b.c.d, a.b.c.d:port, [v6]:port, host:port
  const std::string bare = word.substr(0, word.find(':'));
  const bool address = std::count(bare.begin(), bare.end(), '.') == 3 && bare.find_first_not_of("0123456789.") == std::string::npos;
  const std::size_t colon = word.rfind(':');
  const bool port = colon != std::string::npos && colon + 1 < word.size() && colon > 0 &&
                    word.find_first_not_of("0123456789", colon + 1) == std::string::npos;
  return address || word.front() == '[' || port;
}

const std::string kOmitted = "\u2026";  // an ellipsis, where an occurrence's word stood

// A time's UTC offset ("+01:00") in minutes.
bool ReadOffset(const std::string& text, long* minutes) {
  if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') return false;
  const std::optional<std::int64_t> hours = ReadDigits(text.substr(1, 2), 2), rest = ReadDigits(text.substr(4, 2), 2);
  if (!hours || !rest) return false;
  *minutes = (text[0] == '-' ? -1 : 1) * static_cast<long>(*hours * 60 + *rest);
  return true;
}

}  // namespace

namespace {

std::string PartCause(const std::string& text, const std::string& message);

}  // namespace

std::vector<std::string> ReasonParts(const std::string& reason) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; start < reason.size();) {
    std::size_t end = start;
    for (bool quoted = false; end < reason.size() && (quoted || reason.compare(end, 2, "; ") != 0); ++end) quoted ^= reason[end] == '"';
    parts.push_back(reason.substr(start, end - start));
    start = end + 2;
  }
  return parts;
}

std::string FailureCause(const std::string& reason, const std::string& message) {
  // Each part's cause once, sorted: the order the hosts were tried in tells no cause.
  std::vector<std::string> causes;
  for (const std::string& part : ReasonParts(reason.substr(0, 400))) causes.push_back(PartCause(part, message));
  std::sort(causes.begin(), causes.end());
  causes.erase(std::unique(causes.begin(), causes.end()), causes.end());
  std::string cause;
  for (const std::string& part : causes) cause += (cause.empty() ? "" : "; ") + part;
  return cause.substr(0, 160);
}

namespace {

std::string PartCause(const std::string& text_in, const std::string& message) {
  std::string text = text_in;
  // The message's own name, wherever it stands.
  for (std::size_t at; message.size() > 2 && (at = text.find(message)) != std::string::npos;) text.replace(at, message.size(), kOmitted);
  // Quoted texts are paths and names: their content goes.
  std::string cause;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '"') {
      const std::size_t end = text.find('"', i + 1);
      cause += "\"" + kOmitted + "\"";
      i = end == std::string::npos ? text.size() : end + 1;
      continue;
    }
    std::size_t end = text.find(' ', i);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(i, end - i);
    // Punctuation around a word stays with the sentence.
    std::string head, tail;
    while (!word.empty() && std::string(".,:;)").find(word.back()) != std::string::npos) tail.insert(tail.begin(), word.back()), word.pop_back();
    while (!word.empty() && word.front() == '(') head += word.front(), word.erase(0, 1);
    // A count of bytes ("after 1234 of 5678 bytes") is the occurrence's, an exit status or error number the cause's.
    const std::size_t next = end + 1;
    const bool count = !word.empty() && word.find_first_not_of("0123456789") == std::string::npos && next < text.size() &&
                       (text.compare(next, 5, "bytes") == 0 || text.compare(next, 3, "of ") == 0);
    cause += head + (!word.empty() && (count || IsOccurrenceWord(word)) ? kOmitted : word) + tail + (end < text.size() ? " " : "");
    i = end + 1;
  }
  return cause;
}

}  // namespace

namespace {

template <typename Map, typename Value>
void AddBounded(Map& map, const std::string& key, std::size_t bound, const Value& add) {
  auto found = map.find(key);
  if (found == map.end()) {
    if (map.size() >= bound) found = map.emplace("(others)", typename Map::mapped_type{}).first;
    else found = map.emplace(key, typename Map::mapped_type{}).first;
  }
  add(found->second);
}

}  // namespace

void TopCounts::Add(const std::string& key) {
  auto found = counts_.find(key);
  long start = 0;
  if (found == counts_.end()) {
    if (counts_.size() >= bound_ && !by_count_.empty()) {
      const auto least = *by_count_.begin();
      by_count_.erase(by_count_.begin());
      counts_.erase(least.second);
      start = least.first;
    }
    found = counts_.emplace(key, start).first;
  } else {
    by_count_.erase({found->second, key});
  }
  by_count_.insert({++found->second, key});
}

std::vector<std::pair<std::string, long>> TopCounts::Top(std::size_t n) const {
  std::vector<std::pair<std::string, long>> top;
  for (const auto& [key, count] : counts_) top.emplace_back(key, count);
  std::sort(top.begin(), top.end(), [](const auto& a, const auto& b) { return a.second != b.second ? a.second > b.second : a.first < b.first; });
  if (top.size() > n) top.resize(n);
  return top;
}

std::size_t ReportOutcomeIndex(const std::string& outcome) {
  // Asked twice or more for each line: by a hash rather than 20 comparisons.
  static const std::unordered_map<std::string, std::size_t> places = [] {
    std::unordered_map<std::string, std::size_t> made;
    for (std::size_t i = 0; i < kReportOutcomeCount; ++i) made.emplace(kReportOutcomes[i], i);
    return made;
  }();
  const auto found = places.find(outcome);
  return found == places.end() ? kReportOutcomeCount - 1 : found->second;
}

long PeriodCounts::Outcome(const std::string& outcome) const { return outcomes[ReportOutcomeIndex(outcome)]; }

std::string ReportPeriod::TrendFirst() const { return AddDays(first, -(kTrendPeriods - 1) * length); }

std::string SenderDomain(const std::string& from) {
  const std::size_t open = from.rfind('<');
  // An address that the log's limit cut has lost the end of its domain.
  if (open != std::string::npos && from.find('>', open) == std::string::npos) return "";
  const std::string address = open == std::string::npos ? from : from.substr(open + 1, from.find('>', open) - open - 1);
  const std::size_t at = address.rfind('@');
  if (at == std::string::npos) return "";
  std::string domain;
  std::size_t i = at + 1;
  for (; i < address.size() && address[i] != ' ' && address[i] != '>' && address[i] != ')' && domain.size() < 100; ++i) {
    domain += FoldCase(address[i]);
  }
  // A bare address that runs to the end of a From the limit may have cut (less a character's bytes at most).
  if (open == std::string::npos && i == address.size() && from.size() + 3 >= kScanLogFieldLimit) return "";
  return domain;
}

std::vector<std::string> FailedHosts(const std::string& reason) {
  std::vector<std::string> hosts;
  for (const std::string& part : ReasonParts(reason)) {
    // The first word of the part that is host:port ("Could not connect to 10.0.0.5:783: ..." names it later).
    for (std::size_t word = 0; word < part.size();) {
      std::size_t stop = part.find(' ', word);
      if (stop == std::string::npos) stop = part.size();
      std::string name = part.substr(word, stop - word);
      while (!name.empty() && (name.back() == ':' || name.back() == ',')) name.pop_back();
      const std::size_t colon = name.rfind(':');
      const bool bracketed = name.size() > 2 && name.front() == '[' && colon != std::string::npos && colon > 0 && name[colon - 1] == ']';
      const bool plain = colon != std::string::npos && colon > 0 && name.find(':') == colon;
      if ((bracketed || plain) && colon + 1 < name.size() && colon + 6 >= name.size() &&
          name.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
        hosts.push_back(name);
        break;
      }
      word = stop + 1;
    }
  }
  return hosts;
}

bool FilterEndedNormally(const std::vector<std::string>& f) {
  return !f[kLogFilterSeconds].empty() && (f[kLogVerdict] == "spam" || f[kLogVerdict] == "clean") && f[kLogReason].compare(0, 12, "exit status ") != 0;
}

bool IsReleaseLine(const std::vector<std::string>& fields) {
  static const std::string kByAnOperator = "released from the quarantine by ";
  return fields.size() > kLogReason && fields[kLogOutcome] == "released" && fields[kLogReason].compare(0, kByAnOperator.size(), kByAnOperator) == 0;
}

void TimeHistogram::Add(double seconds) {
  slowest_ = std::max(slowest_, seconds);
  const std::vector<double>& edges = BucketEdges();
  if (buckets_.empty()) buckets_.assign(edges.size(), 0);
  const auto index = static_cast<std::size_t>(std::lower_bound(edges.begin(), edges.end(), seconds) - edges.begin());
  ++buckets_[std::min(index, edges.size() - 1)];
  ++count_;
}

double TimeHistogram::Percentile(double fraction) const {
  if (count_ == 0) return 0;
  const double wanted = std::ceil(fraction * static_cast<double>(count_));
  long seen = 0;
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    seen += buckets_[i];
    if (static_cast<double>(seen) >= wanted) return std::min(BucketEdges()[i], slowest_);
  }
  return slowest_;
}

ReportData::ReportData(ReportPeriod p)
    : period(std::move(p)),
      clean_scores(static_cast<std::size_t>(kScoreHigh - kScoreLow) + 2),
      spam_scores(static_cast<std::size_t>(kScoreHigh - kScoreLow) + 2) {
  for (int k = 0; k < kTrendPeriods; ++k) {
    trend_days[static_cast<std::size_t>(k)] = {AddDays(period.first, -k * period.length), AddDays(period.last, -k * period.length)};
  }
}

void ReportData::Add(const std::vector<std::string>& guarded) {
  ++lines;
  // Logs from before the host column have the fields before it alone.
  if (guarded.size() != kLogHost && guarded.size() != kScanLogColumnCount) return Skip("a line without the log's 14 or 15 fields");
  // The fields as they were, without the spreadsheet guard's apostrophe.
  std::vector<std::string> f;
  f.reserve(guarded.size());
  for (const std::string& field : guarded) f.push_back(CsvTextUnguarded(field));
  const std::string& time = f[kLogTime];
  // "2026-12-07T13:45:12+01:00": digits where digits stand, the separators where theirs do.
  bool stamp = time.size() >= 19;
  for (std::size_t i = 0; stamp && i < 19; ++i) {
    const char c = time[i];
    stamp = i == 4 || i == 7 ? c == '-' : i == 10 ? c == 'T' : i == 13 || i == 16 ? c == ':' : c >= '0' && c <= '9';
  }
  if (!stamp) return Skip("a line without a time");
  const std::string day = time.substr(0, 10);
  const bool in_current = day >= period.first && day <= period.last;
  const bool in_previous = day >= period.previous_first && day <= period.previous_last;
  const std::string& outcome = f[kLogOutcome];
  const bool spam = f[kLogVerdict] == "spam", clean = f[kLogVerdict] == "clean";
  int back = -1;  // which period of the trend the line falls in
  for (int k = 0; k < kTrendPeriods && back < 0; ++k) {
    const auto& [first, last] = trend_days[static_cast<std::size_t>(k)];
    if (day >= first && day <= last) back = k;
  }
  if (back >= 0 && !IsReleaseLine(f) && outcome != "missing" && outcome != "release-request") {
    PeriodCounts& then = trend[static_cast<std::size_t>(back)];
    ++then.messages;
    then.spam += spam;
    then.clean += clean;
  }
  if (back >= 0) ++trend[static_cast<std::size_t>(back)].lines;
  if (!in_current && !in_previous) {
    out_of_range += back < 0;
    return;
  }
  // The offsets that a single day's hours are drawn by.
  long offset = 0;
  if (period.SingleDay() && ReadOffset(time.substr(19), &offset)) {
    const long moment = std::stol(time.substr(11, 2)) * 60 + std::stol(time.substr(14, 2)) - offset - (in_current ? 0 : 1440);
    if (in_current && day_offsets.size() < 24) {
      const auto found = day_offsets.emplace(time.substr(19), moment).first;
      found->second = std::min(found->second, moment);
    }
    if (in_previous && (offset_before.empty() || moment >= offset_before_at)) offset_before = time.substr(19), offset_before_at = moment;
  }
  PeriodCounts& counts = in_current ? current : previous;
  if (in_current && replay != nullptr) replay->Add(f);
  // An operator's release is counted once, as a release; a recipient's
  // request is a release too, or none, and no message; a run that found no
  // message is no message.
  if (IsReleaseLine(f)) {
    ++counts.releases;
    return;
  }
  if (outcome == "release-request") {
    ++(f[kLogReason].compare(0, 9, "released ") == 0 ? counts.recipient_releases : counts.refused_requests);
    return;
  }
  ++counts.outcomes[ReportOutcomeIndex(outcome)];
  if (outcome == "missing") return;
  ++counts.messages;
  counts.spam += spam;
  counts.clean += clean;
  const std::optional<std::int64_t> size = ReadDigits(f[kLogSize], 18);
  if ((spam || clean) && size) counts.bytes += *size;
  if (!in_current) return;
  const std::string domain = SenderDomain(f[kLogFrom]);
  if ((spam || clean) && !domain.empty()) (spam ? spam_domains : clean_domains).Add(domain);

  // A day's hours by their clock and offset: the day the clocks go back has two 02:00 hours.
  ++buckets[period.SingleDay() ? time.substr(11, 2) + time.substr(19) : day][ReportOutcomeIndex(outcome)];
  double score = 0, required = 0;
  if ((f[kLogVerdict] == "spam" || f[kLogVerdict] == "clean") && ReadScore(f[kLogScore], &score)) {
    const double bin = std::clamp(std::floor(score) - kScoreLow + 1, 0.0, kScoreHigh - kScoreLow + 1);
    ++(spam ? spam_scores : clean_scores)[static_cast<std::size_t>(bin)];
    if (!f[kLogRequired].empty()) ++required_scores[f[kLogRequired]];
    // SpamAssassin writes scores rounded to a tenth: a clean message shown at the required score is a near miss too.
    if (!spam && ReadScore(f[kLogRequired], &required) && score >= required - 1 && score <= required) ++near_misses;
    if (spam && ReadScore(f[kLogRequired], &required) && score >= required && score <= required + 1) {
      ++near_spam;
      const std::string& file = f[kLogQuarantineFile];
      const std::string id = file.size() > 4 ? file.substr(0, file.size() - 4) : "";
      if (outcome == "quarantined" && !id.empty() && quarantine_holds != nullptr && quarantine_holds->count(CanonicalRunName(id)) > 0) {
        near_spam_quarantined.push_back({score, time, id, f[kLogFrom], f[kLogSubject]});
        std::sort(near_spam_quarantined.begin(), near_spam_quarantined.end(), [](const NearSpam& a, const NearSpam& b) { return a.time > b.time; });
        if (near_spam_quarantined.size() > kSlowest) near_spam_quarantined.pop_back();
      }
    }
  }
  if (!f[kLogRules].empty() && f[kLogRules] != "none") {
    auto& rules = spam ? spam_rules : clean_rules;
    for (std::size_t start = 0; start <= f[kLogRules].size();) {
      const std::size_t comma = std::min(f[kLogRules].find(',', start), f[kLogRules].size());
      if (comma > start) AddBounded(rules, f[kLogRules].substr(start, comma - start), kRules, [](long& n) { ++n; });
      start = comma + 1;
    }
  }
  const std::optional<double> seconds = ReadFilterSeconds(f[kLogFilterSeconds]);
  if (seconds) {
    // A scan ended by the time limit, or one that failed, is no filter time.
    if (FilterEndedNormally(f)) filter_times[day].Add(*seconds);
    if (slowest.size() < kSlowest || *seconds > slowest.back().seconds) {
      const SlowMessage slow{*seconds, time, f[kLogConnector], f[kLogMessage], f[kLogSubject], outcome};
      slowest.insert(std::upper_bound(slowest.begin(), slowest.end(), slow,
                                      [](const SlowMessage& a, const SlowMessage& b) { return a.seconds > b.seconds; }),
                     slow);
      if (slowest.size() > kSlowest) slowest.pop_back();
    }
  }
  const bool failed = IsFailureOutcome(outcome);
  const std::string host = f.size() > kLogHost ? f[kLogHost] : "";
  if (!host.empty()) {
    AddBounded(hosts, host, kHosts, [&](HostCounts& h) {
      ++h.messages;
      // Its own exchange alone: no host was passed over before it.
      if (FilterEndedNormally(f) && FailedHosts(f[kLogReason]).empty() && seconds) h.times.Add(*seconds);
    });
  }
  // A line through the pool names in its reason each host that failed it.
  if (!host.empty() || outcome == "no-message") {
    for (const std::string& name : FailedHosts(f[kLogReason])) AddBounded(hosts, name, kHosts, [](HostCounts& h) { ++h.failures; });
  }
  AddBounded(connectors, f[kLogConnector], kConnectors, [&](ConnectorCounts& c) {
    ++c.messages;
    c.spam += spam;
    c.verdicts += spam || clean;
    c.failures += failed;
  });
  if (failed) {
    const std::string reason = !f[kLogReason].empty()      ? f[kLogReason]
                               : outcome == "time-limit" ? "the filter did not finish within SCANTIMELIMIT"
                               : outcome == "no-message" ? "the filter returned no message"
                                                         : "(no reason given)";
    AddBounded(failures, outcome + ": " + FailureCause(reason, f[kLogMessage]), kFailureKinds, [&](FailureKind& kind) {
      ++kind.count;
      if (time >= kind.newest_time) {
        kind.newest_time = time;
        kind.example = reason.substr(0, 400);
      }
    });
  }
}

std::vector<std::string> ReportData::DayHours() const {
  // Each offset from its first moment on; the day starts with the day before's last.
  std::vector<std::pair<long, std::string>> changes;  // (moment, offset), by moment
  for (const auto& [text, moment] : day_offsets) changes.emplace_back(moment, text);
  std::sort(changes.begin(), changes.end());
  long minutes = 0;
  if (!offset_before.empty() && (changes.empty() || changes.front().second != offset_before)) changes.insert(changes.begin(), {LONG_MIN, offset_before});
  if (changes.empty()) changes.emplace_back(LONG_MIN, "+00:00");
  changes.front().first = LONG_MIN;
  // An offset holds from the start of the hour of its first line, by its own clock.
  std::vector<std::pair<long, std::string>> hours;  // (the hour's first moment, its name)
  std::vector<long> from(changes.size() + 1, LONG_MAX), offsets(changes.size(), 0);
  for (std::size_t i = 0; i < changes.size(); ++i) {
    ReadOffset(changes[i].second, &offsets[i]);
    from[i] = i == 0 ? LONG_MIN : (changes[i].first + offsets[i]) / 60 * 60 - offsets[i];
  }
  for (std::size_t i = 0; i < changes.size(); ++i) {
    for (int hour = 0; hour < 24; ++hour) {
      const long start = hour * 60L - offsets[i];
      const char digits[] = {static_cast<char>('0' + hour / 10), static_cast<char>('0' + hour % 10), 0};
      if (start >= from[i] && start < from[i + 1]) hours.emplace_back(start, digits + changes[i].second);
    }
  }
  // Hours of lines that fit none (another zone's lines, an offset's first line
  // within the hour of the one before it), in their place.
  for (const auto& entry : buckets) {
    const std::string& bucket = entry.first;
    if (std::none_of(hours.begin(), hours.end(), [&](const auto& h) { return h.second == bucket; }) && ReadOffset(bucket.substr(2), &minutes)) {
      hours.emplace_back(std::stol(bucket.substr(0, 2)) * 60 - minutes, bucket);
    }
  }
  std::stable_sort(hours.begin(), hours.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> names;
  for (const auto& hour : hours) names.push_back(hour.second);
  return names;
}

std::string ReportData::RequiredScore() const {
  std::string most;
  long count = 0;
  for (const auto& [score, n] : required_scores) {
    if (n > count) most = score, count = n;
  }
  return most;
}

}  // namespace saplugin
