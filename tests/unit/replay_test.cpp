// sareport --policy by a table: a logged line, the policy file it is replayed
// under (through the real profile reader), what the run would have logged.

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>

#include "files.h"
#include "platform/platform.h"
#include "report/policy_replay.h"
#include "report/replay_html.h"
#include "report/replay_policy_file.h"
#include "report/scan_log_reader.h"
#include "store/scan_log.h"

namespace saplugin {
namespace {

char kProgram[] = "unit_tests";
char* kWords[] = {kProgram};

TEST(Replay, ALoggedLineUnderAPolicyFile) {
  struct Row {
    const char* policy;  // the file's lines after its main section's name, blank-separated ("_" a blank in a line)
    const char* line;    // the log's columns from the connector to the required score
    const char* after;   // "-": the line cannot be replayed; or the file's error
  };
  const Row rows[] = {
      {"QUARANTINE=1 SPAMSCORE=6", "SMTP,M,900,clean,tagged,,6.0,5.0", "quarantined"},  // the line's score
      {"QUARANTINE=1 SPAMSCORE=6", "SMTP,M,900,spam,quarantined,,,", "quarantined"},  // no score: the flag
      // Without SPAMSCORE, SpamAssassin's flag: above the required score
      // (whatever a SPAMSCORE of the day made of it); at it, the verdict.
      {"QUARANTINE=1", "SMTP,M,900,clean,kept,,7.0,5.0", "quarantined"},
      {"QUARANTINE=1", "SMTP,M,900,spam,quarantined,,5.0,5.0", "quarantined"},
      {"QUARANTINE=1", "SMTP,M,900,clean,tagged,,5.0,5.0", "tagged"},
      {"QUARANTINE=2 [connector_fax] QUARANTINE=0", "FAX,M,900,spam,deleted,,9.0,5.0", "tagged"},  // its section in another case
      {"QUARANTINE=2", "SMTP,M,900,spam,would-quarantine,,9.0,5.0", "deleted"},  // a test-mode line has its verdict
      {"[Connector_Fax] BYPASS=1", "Fax,M,900,,time-limit,,,", "bypassed"},
      {"MAXMESSAGESIZE=1000", "SMTP,M,1001,,no-message,,,", "too-large"},
      // A failed filter's line: its output never takes the message's place.
      {"QUARANTINE=0", "SMTP,M,900,spam,filter-failed,exit status 1,9.0,5.0", "filter-failed"},
      {"QUARANTINE=1", "SMTP,M,-1,,missing,,,", "-"},
      // Wherever it stopped, the trap tells nothing of the scan; a bypass or the size limit decides it all the same.
      {"MAXMESSAGESIZE=1000", "SMTP,M,900,spam,trap,Could not delete,9.0,5.0", "-"},
      {"MAXMESSAGESIZE=100", "SMTP,M,900,,trap,Could not delete,,", "too-large"},
      {"[Connector_Fax] BYPASS=1", "Fax,M,900,spam,trap,Could not delete,9.0,5.0", "bypassed"},
      {"MAXMESSAGESIZE=100", "SMTP,M,900,,released,,,", "-"},               // passed by its release mark
      // An operator's release, replayed as the quarantined spam it names.
      {"QUARANTINE=1 SPAMSCORE=8", "SMTP,M,900,,released,released from the quarantine by root,7.5,5.0", "kept"},
      // A value that does not convert, named with its section.
      {"SPAMSCORE=6,5", "", "[SPAMASSASSIN Plugin Config] Type mismatch: SPAMSCORE \"6,5\" is not a score"},
      {"[Connector_Nobody] HIGHSCOREACTION=two", "", "Type mismatch: [Connector Nobody] HIGHSCOREACTION \"two\" is not a whole number"},
  };
  TempFolder folder;
  auto platform = CreatePlatform(1, kWords);
  for (const Row& row : rows) {
    const std::string lines = std::regex_replace(std::regex_replace(row.policy, std::regex(" "), "\r\n"), std::regex("_"), " ");
    WriteFile(folder / "policy.ini", "[SPAMASSASSIN Plugin Config]\r\n" + lines + "\r\n");
    std::unique_ptr<ReplayPolicyFile> read;
    try {
      read = std::make_unique<ReplayPolicyFile>(*platform, folder / "policy.ini", "C:\\Quarantine\\");
    } catch (const Error& error) {
      EXPECT_EQ(error.Description().find("the policy file " + folder / "policy.ini: " + row.after), 0u) << error.Description();
      continue;
    }
    const ReplayPolicyFile& policy = *read;
    PolicyReplay replay([&](const std::string& connector) { return policy.For(connector); });
    ReportData data(MakePeriod("2026-12-07", "2026-12-07"));
    data.replay = &replay;
    data.Add(ParseCsvLine("2026-12-07T10:00:00+01:00," + std::string(row.line) + ",,,,a@b.example,Subject"));
    std::string after = replay.releases.Total() > 0 ? replay.releases.List().front().after : "-";
    for (std::size_t i = 0; i < kReportOutcomeCount * kReportOutcomeCount; ++i) {
      if (replay.all.cells[i / kReportOutcomeCount][i % kReportOutcomeCount] > 0) after = kReportOutcomes[i % kReportOutcomeCount];
    }
    EXPECT_EQ(after, row.after) << row.policy << " | " << row.line;
    // A line counts once, replayed or not (a release apart), and as changed when its outcome does.
    const std::vector<std::string> f = ParseCsvLine(row.line);
    const bool release = f[5].rfind("released from", 0) == 0, replayed = !release && after != "-";
    const auto connector = replay.connectors.find(f[0]);
    EXPECT_EQ(connector != replay.connectors.end(), !release) << row.line;
    const ReplayCounts* counts = connector != replay.connectors.end() ? &connector->second : &replay.all;
    for (const ReplayCounts* each : {static_cast<const ReplayCounts*>(&replay.all), counts}) {
      EXPECT_EQ(std::to_string(each->replayed) + " " + std::to_string(each->changed) + " " + std::to_string(each->not_replayed),
                std::string(replayed ? "1 " : "0 ") + (replayed && after != f[4] ? "1 " : "0 ") + (replayed || release ? "0" : "1"))
          << row.policy << " | " << row.line;
    }
    // The console's line: the change, alone.
    std::ostringstream text;
    WriteReplayText(text, replay, policy);
    const std::string change = replayed && after != f[4] ? ": " + OutcomeLabel(f[4]) + " > " + after + " 1" : "";
    EXPECT_EQ(text.str().substr(0, text.str().find('\n')), "  under " + folder / "policy.ini" + ": " + (replayed ? "1" : "0") +
                                                            " lines replayed, " + (change.empty() ? "0" : "1") + " would change" + change)
        << row.line;
  }
  // Without a quarantine folder, what HIGHSCOREACTION would quarantine is tagged, and said so.
  WriteFile(folder / "policy.ini", "[SPAMASSASSIN Plugin Config]\r\nHIGHSCORE=10\r\nHIGHSCOREACTION=1\r\n");
  const std::string described = DescribePolicy(ReplayPolicyFile(*platform, folder / "policy.ini", "").Main());
  EXPECT_TRUE(described.find("from score 10 tagged (no quarantine folder);") != std::string::npos) << described;
}

TEST(Replay, KeepsTheNewestMessagesWithinItsBound) {
  NewestMessages newest(3);
  for (const char* time : {"10:05", "10:01", "10:09", "10:03", "10:07", "10:02", "10:08"}) {
    if (newest.Takes(time)) newest.Keep({time, "", "", "", "", ""});
  }
  std::string kept;
  for (const ReplayedMessage& message : newest.List()) kept += message.time + " ";
  EXPECT_EQ(kept + std::to_string(newest.Unlisted()) + " more", "10:09 10:08 10:07 4 more");
}

}  // namespace
}  // namespace saplugin
