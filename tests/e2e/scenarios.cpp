#include "e2e/scenarios.h"

namespace saplugin {

const char* const kGtube = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";
const std::string kHam =
    "From: Alice <alice@example.com>\r\nTo: bob@example.com\r\nSubject: Lunch\r\n\r\nSee you at noon.\r\n";
const std::string kSpam = std::string("From: Spammer <s@example.net>\r\nTo: bob@example.com\r\n") +
                          "Subject: Offer\r\n\r\nBuy now. " + kGtube + "\r\n";

namespace {

const char* const kNoEmail = "SpamAssassin didn't return an email. Configuration problem.";
const char* const kTrap = "Could not process pickup event for Connector: *";

std::vector<Scenario> MakeTable() {
  std::vector<Scenario> table;
  auto add = [&table](Scenario scenario) { table.push_back(std::move(scenario)); };

  add({"FlaggedWithQuarantine0IsTagged", {{"QUARANTINE", "0"}}, kSpam, "", false, false, false,
       Outcome::kTagged, {}, true});
  add({"FlaggedWithQuarantine1IsQuarantined", {{"QUARANTINE", "1"}}, kSpam, "", false, false, false,
       Outcome::kQuarantined, {}, true});
  add({"FlaggedWithQuarantine2IsDeleted", {{"QUARANTINE", "2"}}, kSpam, "", false, false, false,
       Outcome::kDeleted, {}, true});
  add({"FlaggedWithQuarantine3IsLeft", {{"QUARANTINE", "3"}}, kSpam, "", false, false, false,
       Outcome::kOriginal, {}, true});
  add({"CleanIsTagged", {{"QUARANTINE", "1"}}, kHam, "", false, false, false, Outcome::kTagged, {}, true});
  add({"CleanWithKeepOriginalIsLeft", {{"QUARANTINE", "1"}, {"KEEPORIGINAL", "1"}}, kHam, "", false,
       false, false, Outcome::kOriginal, {}, true});
  add({"LowerCaseFlagInTheHeaderCounts", {{"QUARANTINE", "2"}, {"KEEPORIGINAL", "1"}},
       "x-spam-flag: yes\r\n" + kHam, "", false, false, false, Outcome::kDeleted, {}, true});
  add({"FlagAfterLeadingBlanksDoesNot", {{"QUARANTINE", "2"}, {"KEEPORIGINAL", "1"}},
       "Subject: x\r\n  X-Spam-Flag: YES\r\n\r\nbody\r\n", "", false, false, false, Outcome::kOriginal, {},
       true});
  add({"FlagInTheBodyDoesNot", {{"QUARANTINE", "2"}, {"KEEPORIGINAL", "1"}},
       "Subject: x\r\n\r\nX-Spam-Flag: YES\r\n", "", false, false, false, Outcome::kOriginal, {}, true});
  add({"EmptyOutputLeavesTheMessage", {{"QUARANTINE", "2"}}, kSpam, "no-output\n", false, false, false,
       Outcome::kOriginal, {kNoEmail}, true});
  add({"OutputWithoutHeaderLeavesTheMessage", {{"QUARANTINE", "0"}}, kHam, "no-header\n", false, false,
       false, Outcome::kOriginal, {kNoEmail}, true});
  add({"MissingFilterLeavesTheMessage", {{"QUARANTINE", "0"}}, kHam, "", false, false, true,
       Outcome::kOriginal, {kNoEmail}, true});
  add({"CrashedFilterLeavesTheMessage", {{"QUARANTINE", "0"}}, kHam, "abort-after 150\n", false, false,
       false, Outcome::kOriginal, {kNoEmail}, true});
  add({"FilterExitStatusPlaysNoPart", {{"QUARANTINE", "1"}}, kSpam, "exit 1\n", false, false, false,
       Outcome::kQuarantined, {}, true});
  add({"FilterStandardErrorNeverReachesTheOutput", {{"QUARANTINE", "0"}}, kHam,
       "stderr deprecated option warning\n", false, false, false, Outcome::kTagged, {}, true});
  add({"ReadOnlyMessageWithQuarantine2EndsInTheTrap", {{"QUARANTINE", "2"}}, kSpam, "", true, false, false,
       Outcome::kPickupOnlyDeleted, {kTrap}, false});
  add({"ReadOnlyMessageIsNotReplaced", {{"QUARANTINE", "0"}}, kHam, "", true, false, false,
       Outcome::kOriginal, {kTrap}, false});
  add({"UnusableTempPathEndsInTheTrap", {{"QUARANTINE", "1"}}, kSpam, "", false, true, false,
       Outcome::kOriginal, {kTrap}, true});
  return table;
}

}  // namespace

const std::vector<Scenario>& ScanScenarios() {
  static const std::vector<Scenario> table = MakeTable();
  return table;
}

}  // namespace saplugin
