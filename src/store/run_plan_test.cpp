#include "store/run_plan.h"

#include <gtest/gtest.h>

#include <sstream>

namespace saplugin {
namespace {

// The options from words: Q= (QUARANTINE, 1 unless given), SPAM=, HIGH=, ACT= (HIGHSCOREACTION), MAX=, LIMIT=
// (SCANTIMELIMIT), KEEP, TEST, BYPASS and LOG (a scan log); the quarantine folder is Q\, but with NOPATH.
PluginOptions Options(const std::string& words) {
  PluginOptions o;
  o.Quarantine = 1;
  o.QuarantinePath = "Q\\";
  std::istringstream in(words);
  for (std::string word; in >> word;) {
    const std::string key = word.substr(0, word.find('=')), value = word.substr(word.find('=') + 1);
    if (key == "Q") o.Quarantine = static_cast<std::int16_t>(std::stoi(value));
    if (key == "SPAM") o.SpamScore = std::stod(value);
    if (key == "HIGH") o.HighScore = std::stod(value);
    if (key == "ACT") o.HighScoreAction = static_cast<std::int16_t>(std::stoi(value));
    if (key == "MAX") o.MaxMessageSize = std::stoi(value);
    if (key == "LIMIT") o.ScanTimeLimit = std::stoi(value);
    o.KeepOriginal |= key == "KEEP";
    o.TestMode |= key == "TEST";
    o.Bypass |= key == "BYPASS";
    if (key == "NOPATH") o.QuarantinePath.clear();
    if (key == "LOG") o.ScanLogPath = "L\\";
  }
  return o;
}

// What the filter gave from words: its exit status ("time": ended at the time limit), its output (none, crashed,
// nomsg, flagged, clean), then score=, req=, local= (this machine's failure), down= (no spamd host scanned it),
// over= (hosts passed over), host= and spamd=spam; "_" stands for a blank.
FilterFacts Filter(const std::string& words) {
  FilterFacts f;
  std::istringstream in(words);
  std::string status, output;
  in >> status >> output;
  if (status == "time") f.exit_status.reset();
  else f.exit_status = std::stol(status);
  const char* const kinds[] = {"none", "crashed", "nomsg", "flagged", "clean"};
  for (int k = 0; k < 5; ++k) {
    if (output == kinds[k]) f.output = static_cast<OutputKind>(k);
  }
  for (std::string word; in >> word;) {
    const std::string key = word.substr(0, word.find('='));
    std::string value = word.substr(word.find('=') + 1);
    for (char& c : value) c = c == '_' ? ' ' : c;
    if (key == "score") f.score = value;
    if (key == "req") f.required = value;
    if (key == "local") f.local_failure = value;
    if (key == "down") f.spamd_failures = value;
    if (key == "over") f.spamd_passed_over = value;
    if (key == "host") f.spamd_host = value;
    if (key == "spamd") f.spamd_spam = value == "spam";
  }
  return f;
}

// The plan in words: the action, the outcome ("-": none yet), the exit status, the verdict, the filter's fault,
// "marked" for a tagged copy that says it is spam, "unmark" when the release mark goes, and @ the spamd host;
// then the scan log's reason and the entry ("E: text", "W: text"; empty for none).
std::string Describe(const RunPlan& plan) {
  const char* const actions[] = {"pass", "request", "scan", "replace", "quarantine", "delete", "leave"};
  const char* const faults[] = {"", "time-limit", "local", "no-host", "no-output", "crashed", "no-message", "failed"};
  const char* const levels[] = {"I: ", "W: ", "E: "};
  std::string text = std::string(actions[static_cast<int>(plan.action)]) + " " + (plan.outcome.empty() ? "-" : plan.outcome) + " " +
                     std::to_string(plan.exit_status);
  for (const std::string& word : {plan.verdict, std::string(faults[static_cast<int>(plan.filter.fault)]),
                                  std::string(plan.mark_spam ? "marked" : ""), std::string(plan.remove_mark ? "unmark" : ""),
                                  plan.host.empty() ? "" : "@" + plan.host}) {
    if (!word.empty()) text += " " + word;
  }
  return text + " | " + plan.reason + " | " + (plan.entry.empty() ? "" : levels[static_cast<int>(plan.level)] + plan.entry);
}

using M = MarkVerdict;
const std::string kNoEmail = "E: SpamAssassin didn't return an email. Configuration problem.";
const std::string kFailed = "SpamAssassin failed with exit status ";
const std::string kByFlag = "no readable score: decided by the filter's flag";

// One line a message: the options (REQUEST: the message is a release request; OWN: the site's own digest), its size and release mark, what the filter gave ("-": not scanned yet), and the
// plan, the scan log's reason and the entry.
TEST(RunPlan, FromTheGatesThroughTheFilterAndThePolicyToTheActionAndTheEntry) {
  const struct {
    const char* options;
    std::int64_t size;
    MarkVerdict mark;
    const char* filter;
    std::string plan, reason, entry;
  } rows[] = {
      // The gates, in their order: the message, its release mark, a bypass, the size limit.
      {"", -1, M::kNone, "-", "pass missing 0", "", ""},
      // A release request (REQUEST): on any connector, whatever its bypass or size, never scanned;
      // one that saquarantine released passes as released, like any other.
      {"REQUEST BYPASS MAX=100", 900, M::kExpired, "-", "request release-request 0 unmark", "", ""},
      {"REQUEST", 900, M::kPasses, "-", "pass released 0 unmark", "", ""},
      {"REQUEST TEST", -1, M::kNone, "-", "pass missing 0", "", ""},
      // The site's own digest (OWN) passes unscanned, whatever the size limit or the mode; a request is a request.
      {"OWN MAX=100 TEST", 900, M::kNone, "-", "pass digest 0", "", ""},
      {"OWN REQUEST", 900, M::kNone, "-", "request release-request 0", "", ""},
      {"OWN", 900, M::kNone, "0 clean", "replace tagged 0 clean", "", ""},
      {"MAX=100", 900, M::kPasses, "-", "pass released 0 unmark", "", ""},
      {"", 900, M::kExpired, "-", "scan - 0 unmark", "", ""},
      {"", 900, M::kOtherMessage, "-", "scan - 0", "", ""},
      {"BYPASS", 900, M::kExpired, "-", "pass bypassed 0 unmark", "", ""},
      {"BYPASS TEST", 900, M::kNone, "-", "scan - 0", "", ""},
      {"MAX=1000", 1001, M::kNone, "-", "pass too-large 0", "", ""},
      {"MAX=1000", 1000, M::kNone, "-", "scan - 0", "", ""},
      {"MAX=-1", 5000000000, M::kNone, "-", "scan - 0", "", ""},
      {"", 0, M::kNone, "-", "scan - 0", "", ""},  // an empty message is one
      // A mark that passed its message before the scan is not taken away again.
      {"", 900, M::kExpired, "0 clean", "replace tagged 0 clean", "", ""},
      // Filters that give no verdict: the message stays as it arrived.
      {"LIMIT=1", 900, M::kNone, "time none", "leave time-limit 4 time-limit", "",
       "E: SpamAssassin did not finish within 1 second; the message was left unscanned."},
      {"LIMIT=30", 900, M::kNone, "time none down=h1_refused", "leave time-limit 4 time-limit", "h1 refused",
       "E: SpamAssassin did not finish within 30 seconds; the message was left unscanned: h1 refused."},
      {"", 900, M::kNone, "0 none local=no_room", "leave filter-failed 3 local", "no room",
       "E: The message could not be scanned through spamd, and was left unscanned: no room."},
      {"", 900, M::kNone, "0 none down=h1_refused", "leave no-message 3 no-host", "h1 refused",
       "E: No spamd host scanned the message, which was left unscanned: h1 refused."},
      {"", 900, M::kNone, "0 none", "leave no-message 3 no-output", "", kNoEmail},
      {"", 900, M::kNone, "139 crashed", "leave no-message 3 crashed", "exit status 139", kNoEmail},
      {"Q=2", 900, M::kNone, "1 nomsg", "leave no-message 3 no-message", "exit status 1", kNoEmail},
      {"BYPASS TEST LIMIT=5", 900, M::kNone, "time none", "leave time-limit 4 time-limit", "",
       "E: SpamAssassin did not finish within 5 seconds; the message was left unscanned."},
      // The filter's flag and QUARANTINE's actions; KEEPORIGINAL keeps clean mail only; spamd's word is a flag.
      {"Q=0", 900, M::kNone, "0 flagged", "replace tagged 0 spam", "", ""},
      {"", 900, M::kNone, "0 flagged", "quarantine quarantined 0 spam", "", ""},
      {"Q=2 KEEP", 900, M::kNone, "0 flagged", "delete deleted 0 spam", "", ""},
      {"Q=3", 900, M::kNone, "0 flagged", "leave left 0 spam", "", ""},
      {"", 900, M::kNone, "0 clean", "replace tagged 0 clean", "", ""},
      {"KEEP", 900, M::kNone, "0 clean", "leave kept 0 clean", "", ""},
      {"", 900, M::kNone, "0 clean spamd=spam host=h1 over=h0_refused", "quarantine quarantined 0 spam @h1", "h0 refused", ""},
      {"NOPATH HIGH=15 ACT=1 Q=2", 900, M::kNone, "0 flagged score=20", "replace tagged 0 spam", "", ""},
      // Score bands: SPAMSCORE decides against the flag, at its edge; without a readable score the flag decides.
      {"SPAM=6.5 Q=2", 900, M::kNone, "0 clean score=6.5", "delete deleted 0 spam", "", ""},
      {"SPAM=6.5 Q=2", 900, M::kNone, "0 flagged score=6.4", "leave kept 0 clean", "", ""},  // flagged, cleared: as received
      {"SPAM=6.5 Q=2", 900, M::kNone, "0 clean score=6.4", "replace tagged 0 clean", "", ""},
      {"SPAM=6.5 Q=2", 900, M::kNone, "0 flagged", "delete deleted 0 spam", kByFlag, ""},
      {"SPAM=8", 900, M::kNone, "0 clean score=1e9 host=h1 over=h0_refused", "replace tagged 0 clean @h1", "h0 refused; " + kByFlag, ""},
      {"SPAM=-2 Q=2", 900, M::kNone, "0 clean score=-2.0", "delete deleted 0 spam", "", ""},
      {"SPAM=-1 Q=2", 900, M::kNone, "0 clean score=-1.1", "replace tagged 0 clean", "", ""},
      // A score has at most nine digits before its point, its sign not counted.
      {"SPAM=8 Q=2", 900, M::kNone, "0 clean score=123456789", "delete deleted 0 spam", "", ""},
      {"SPAM=8", 900, M::kNone, "0 clean score=1234567890", "replace tagged 0 clean", kByFlag, ""},
      {"SPAM=-2 Q=2", 900, M::kNone, "0 clean score=-12345678", "replace tagged 0 clean", "", ""},
      {"SPAM=6.5 Q=0", 900, M::kNone, "0 clean score=7", "replace tagged 0 spam marked", "", ""},
      {"SPAM=5 HIGH=15 ACT=0", 900, M::kNone, "0 clean score=15", "replace tagged 0 spam marked", "", ""},
      // HIGHSCORE takes HIGHSCOREACTION from its edge, for spam with a score only.
      {"HIGH=15 ACT=2", 900, M::kNone, "0 flagged score=15", "delete deleted 0 spam", "", ""},
      {"HIGH=15 ACT=2", 900, M::kNone, "0 flagged score=14.9", "quarantine quarantined 0 spam", "", ""},
      {"HIGH=15", 900, M::kNone, "0 flagged score=99", "quarantine quarantined 0 spam", "", ""},
      {"HIGH=15 ACT=2", 900, M::kNone, "0 flagged", "quarantine quarantined 0 spam", "", ""},
      {"HIGH=15 ACT=7", 900, M::kNone, "0 flagged score=29", "leave left 0 spam", "", ""},
      {"HIGH=15 ACT=2", 900, M::kNone, "0 clean score=20", "replace tagged 0 clean", "", ""},
      // Test mode decides and leaves the message as it arrived; with a bypass it logs what would have passed.
      {"TEST Q=2", 900, M::kNone, "0 flagged", "leave would-delete 0 spam", "", ""},
      {"TEST", 900, M::kNone, "0 flagged", "leave would-quarantine 0 spam", "", ""},
      {"TEST Q=3", 900, M::kNone, "0 flagged", "leave would-leave 0 spam", "", ""},
      {"TEST", 900, M::kNone, "0 clean", "leave would-tag 0 clean", "", ""},
      {"TEST KEEP", 900, M::kNone, "0 clean", "leave would-keep 0 clean", "", ""},
      {"TEST SPAM=5 HIGH=15 ACT=2", 900, M::kNone, "0 clean score=16", "leave would-delete 0 spam", "", ""},
      {"TEST SPAM=5 HIGH=15 ACT=1 Q=0", 900, M::kNone, "0 clean score=6", "leave would-tag 0 spam marked", "", ""},
      {"BYPASS TEST", 900, M::kNone, "0 flagged", "leave would-bypass 0 spam", "", ""},
      // A filter that failed: its output never takes the message's place; what needs only the verdict is done.
      {"", 900, M::kNone, "28 clean", "leave filter-failed 3 clean failed", "exit status 28",
       "E: " + kFailed + "28; the message was left unscanned."},
      {"Q=0", 900, M::kNone, "28 flagged", "leave filter-failed 3 spam failed", "exit status 28",
       "E: " + kFailed + "28; the message was left unscanned."},
      {"SPAM=8", 900, M::kNone, "1 clean", "leave filter-failed 3 clean failed", "exit status 1; " + kByFlag,
       "E: " + kFailed + "1; the message was left unscanned."},
      {"", 900, M::kNone, "1 flagged", "quarantine quarantined 0 spam failed", "exit status 1",
       "W: " + kFailed + "1; the message it flagged was quarantined."},
      {"Q=2", 900, M::kNone, "1 flagged", "delete deleted 0 spam failed", "exit status 1",
       "W: " + kFailed + "1; the message it flagged was deleted."},
      {"Q=3", 900, M::kNone, "1 flagged", "leave left 0 spam failed", "exit status 1",
       "W: " + kFailed + "1; the message it flagged was left in the queue."},
      {"KEEP", 900, M::kNone, "2 clean", "leave kept 0 clean failed", "exit status 2",
       "W: " + kFailed + "2; the message was kept as received."},
      {"TEST", 900, M::kNone, "1 clean", "leave would-tag 0 clean failed", "exit status 1",
       "W: " + kFailed + "1; in test mode, the message was left as it arrived."},
  };
  for (const auto& row : rows) {
    const PluginOptions options = Options(row.options);
    const bool scanned = std::string(row.filter) != "-";
    const FilterFacts filter = scanned ? Filter(row.filter) : FilterFacts{};
    const bool request = std::string(row.options).find("REQUEST") != std::string::npos;
    const bool own = std::string(row.options).find("OWN") != std::string::npos;
    const RunPlan plan = PlanRun({options, row.size, row.mark, scanned ? &filter : nullptr, request, own});
    EXPECT_EQ(Describe(plan), row.plan + " | " + row.reason + " | " + row.entry) << row.options << " / " << row.filter;
  }
  EXPECT_EQ(Describe(PlanTrap("Could not delete")),
            "pass trap 1 | Could not delete | E: Could not process pickup event for Connector: Could not delete");
  // The X-Spam-Status is read for the bands and the log only.
  std::string reads;
  for (const char* words : {"", "SPAM=5", "HIGH=5", "LOG"}) reads += std::to_string(PlanReadsScore(Options(words)));
  EXPECT_EQ(reads, "0111");
}

}  // namespace
}  // namespace saplugin
