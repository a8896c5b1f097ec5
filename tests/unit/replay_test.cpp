// sareport --policy by a table: a logged line, the policy file it is
// replayed under (read by the real profile reader), what the run would have
// logged.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "files.h"
#include "platform/platform.h"
#include "report/policy_replay.h"
#include "report/replay_policy_file.h"
#include "report/report_data.h"
#include "report/scan_log_reader.h"
#include "store/scan_log.h"

namespace saplugin {
namespace {

char kProgram[] = "unit_tests";
char* kWords[] = {kProgram};

struct ReplayRow {
  const char* policy;  // the main section's lines, then "[Connector_NAME]" and its own, blank-separated
  const char* line;    // connector,size,verdict,outcome,reason,score,required
  const char* after;   // "-": the line cannot be replayed
};

TEST(Replay, ALoggedLineUnderAPolicyFile) {
  const ReplayRow rows[] = {
      {"QUARANTINE=1 SPAMSCORE=6", "SMTP,900,clean,tagged,,6.0,5.0", "quarantined"},  // at SPAMSCORE
      {"QUARANTINE=1 SPAMSCORE=6", "SMTP,900,spam,quarantined,,5.9,5.0", "tagged"},
      {"QUARANTINE=1 SPAMSCORE=6 HIGHSCORE=10 HIGHSCOREACTION=2", "SMTP,900,spam,quarantined,,10.0,5.0", "deleted"},  // at HIGHSCORE
      {"QUARANTINE=1 SPAMSCORE=6 HIGHSCORE=10 HIGHSCOREACTION=2", "SMTP,900,spam,quarantined,,9.9,5.0", "quarantined"},
      {"QUARANTINE=1 SPAMSCORE=6", "SMTP,900,spam,quarantined,no readable score,,", "quarantined"},  // no score: the flag
      // Without SPAMSCORE the flag is SpamAssassin's: above the required
      // score (whatever a SPAMSCORE of the day made it); at it, the verdict.
      {"QUARANTINE=1", "SMTP,900,clean,kept,,7.0,5.0", "quarantined"},
      {"QUARANTINE=1", "SMTP,900,spam,quarantined,,5.0,5.0", "quarantined"},
      {"QUARANTINE=1", "SMTP,900,clean,tagged,,5.0,5.0", "tagged"},
      {"QUARANTINE=1 KEEPORIGINAL=1", "SMTP,900,spam,deleted,,3.0,5.0", "kept"},
      {"QUARANTINE=2 [connector_fax] QUARANTINE=0", "FAX,900,spam,deleted,,9.0,5.0", "tagged"},  // the section in another case
      {"QUARANTINE=2 [Connector_Fax] QUARANTINE=0", "SMTP,900,spam,deleted,,9.0,5.0", "deleted"},
      {"QUARANTINE=1 TESTMODE=1", "SMTP,900,spam,quarantined,,9.0,5.0", "would-quarantine"},
      {"QUARANTINE=2", "SMTP,900,spam,would-quarantine,,9.0,5.0", "deleted"},  // a test-mode line has its verdict
      {"QUARANTINE=1 BYPASS=1", "SMTP,900,spam,quarantined,,9.0,5.0", "quarantined"},  // BYPASS is a connector's
      {"[Connector_Fax] BYPASS=1", "Fax,900,,time-limit,,,", "bypassed"},
      {"[Connector_Fax] BYPASS=1 TESTMODE=1", "Fax,900,clean,tagged,,1.0,5.0", "would-bypass"},
      {"MAXMESSAGESIZE=1000", "SMTP,1001,,no-message,,,", "too-large"},
      {"MAXMESSAGESIZE=1000", "SMTP,1000,clean,tagged,,1.0,5.0", "tagged"},
      // A failed filter's output never replaces the message; what needs only the verdict is done.
      {"QUARANTINE=0", "SMTP,900,spam,filter-failed,exit status 1,9.0,5.0", "filter-failed"},
      {"QUARANTINE=1", "SMTP,900,spam,filter-failed,exit status 1,9.0,5.0", "quarantined"},
      {"QUARANTINEPATH=- QUARANTINE=1", "SMTP,900,spam,quarantined,,9.0,5.0", "tagged"},  // no quarantine folder anywhere
      {"QUARANTINE=1", "SMTP,900,,too-large,,,", "-"},
      {"QUARANTINE=1", "SMTP,-1,,missing,,,", "-"},
      {"MAXMESSAGESIZE=100", "SMTP,900,,trap,Could not delete,,", "-"},  // wherever it stopped, the trap tells nothing
      {"QUARANTINE=1", "SMTP,900,,released,,,", "-"},  // passed by its release mark
      // An operator's release, replayed as the quarantined spam it names.
      {"QUARANTINE=1 SPAMSCORE=8", "SMTP,900,,released,released from the quarantine by root,7.5,5.0", "tagged"},
      {"QUARANTINE=1 SPAMSCORE=7", "SMTP,900,,released,released from the quarantine by root,7.5,5.0", "quarantined"},
  };
  TempFolder folder;
  auto platform = CreatePlatform(1, kWords);
  const std::string file = folder / "policy.ini";
  for (const ReplayRow& row : rows) {
    std::string text = "[SPAMASSASSIN Plugin Config]\r\n", word;
    bool path = true;
    for (std::istringstream words(row.policy); words >> word;) {
      if (word == "QUARANTINEPATH=-") path = false;
      else text += std::regex_replace(word, std::regex("_"), " ") + "\r\n";
    }
    WriteFile(file, text);
    ReplayPolicyFile policy(*platform, file, path ? "C:\\Quarantine\\" : "");
    PolicyReplay replay([&](const std::string& connector) { return policy.For(connector); });
    ReportData data(MakePeriod("2026-12-07", "2026-12-07"));
    data.replay = &replay;
    std::string line = row.line;
    // connector,size,verdict,outcome,reason,score,required into the log's columns.
    std::vector<std::string> f;
    for (std::size_t start = 0; start <= line.size();) {
      const std::size_t comma = std::min(line.find(',', start), line.size());
      f.push_back(line.substr(start, comma - start));
      start = comma + 1;
    }
    data.Add({"2026-12-07T10:00:00+01:00", f[0], "M.MAI", f[1], f[2], f[3], f[4], f[5], f[6], "", "", "", "a@b.example", "Subject"});
    std::string after = "-";
    for (std::size_t i = 0; i < kReportOutcomeCount; ++i) {
      for (std::size_t j = 0; j < kReportOutcomeCount; ++j) {
        if (replay.all.cells[i][j] == 1) after = kReportOutcomes[j];
      }
    }
    for (const ReplayedMessage& release : replay.releases.List()) after = release.after;
    EXPECT_EQ(after, row.after) << row.policy << " | " << row.line;
  }
}

// The newest messages of many that come in no order, and how many more.
TEST(Replay, KeepsTheNewestMessagesWithinItsBound) {
  NewestMessages newest(200);
  for (int i = 0; i < 1000; ++i) {
    const std::string time = "2026-12-07T" + std::to_string(10 + (i * 7919) % 1000 / 100) + ":" + std::to_string(10 + (i * 7919) % 100 / 2);
    if (newest.Takes(time)) newest.Keep({time, "", "", std::to_string(i), "", ""});
  }
  const std::vector<ReplayedMessage> list = newest.List();
  ASSERT_EQ(list.size(), 200u);
  EXPECT_EQ(newest.Unlisted(), 800);
  EXPECT_TRUE(std::is_sorted(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.time > b.time; }));
  EXPECT_EQ(list.front().time, "2026-12-07T19:59");
  EXPECT_EQ(list.back().time, "2026-12-07T18:10");  // the 200 newest of ten hours' 1000
}

}  // namespace
}  // namespace saplugin
