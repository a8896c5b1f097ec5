#include "e2e/policy.h"

#include <gtest/gtest.h>

#include "platform/text.h"
#include "store/scan_log.h"

namespace saplugin {

namespace {

using O = Outcome;

std::vector<PolicyCase> Table() {
  const std::string ham = kHam;
  return {
      // The score read from the output: spam by its score that the filter did not flag says so in its tagged copy.
      {"SpamByScoreIsTaggedAsSpam", kBoth, "SPAMSCORE=6.5 QUARANTINE=0", "", ham, "score 7", O::kTagged, "spam tagged 7", "", 0, ""},
      // Test mode: scanned and decided, logged in words of its own, the message left as it arrived.
      {"TestModeLeavesSpamAsItArrived", kBoth, "TESTMODE=1 QUARANTINE=2", "", kSpam, "", O::kLeft, "spam would-delete 1000.0", "", 0, ""},
      // Connector sections (which section a load takes, and which keys: the unit tables).
      {"ConnectorSectionOverridesTheMainOne", kBoth, "", "[Connector {connector}]\r\nQUARANTINE=2\r\n", kSpam, "", O::kDeleted,
       "spam deleted 1000.0", "", 0, ""},
      {"ConnectorBypassPassesUnscanned", kBoth, "", "[Connector {connector}]\r\nBYPASS=1\r\n", kSpam, "", O::kLeft, " bypassed ", "", 0, ""},
      // "none" takes the main section's key away for the connector.
      {"ConnectorWithoutTheMainScoreBand", kBoth, "SPAMSCORE=5 QUARANTINE=2", "[Connector {connector}]\r\nSPAMSCORE=none\r\n", ham, "score 6",
       O::kTagged, "clean tagged 6", "", 0, ""},
      {"ConnectorWithoutTheMainPool", kBoth, "SPAMDHOSTS=127.0.0.1:1", "[Connector {connector}]\r\nSPAMDHOSTS=None\r\n", kSpam, "", O::kQuarantined,
       "spam quarantined 1000.0", "", 0, ""},
      {"ConnectorPoolThatIsDown", kLinux, "", "[Connector {connector}]\r\nSPAMDHOSTS=127.0.0.1:1\r\n", kSpam, "", O::kLeft, " no-message ",
       "Could not connect to 127.0.0.1:1", 3, "No spamd host scanned the message"},
      // The section is named in the error of a pool's list too long to read whole.
      {"OverlongPoolInAConnectorSection", kBoth, "", "[Connector {connector}]\r\nSPAMDHOSTS=" + std::string(32768, 'h') + "\r\n", kSpam, "",
       O::kLeft, "-", "", 2, "Can't run SpamAssassin because of a setting in the plugin config file: Overflow: [Connector {connector}] SPAMDHOSTS is longer"},
      // SpamAssassin's own output: its score read from its folded X-Spam-Status.
      {"RealFilterScoreAboveTheBand", kLinux, "SPAMSCORE=500 QUARANTINE=2", "", kSpam, "real-filter", O::kDeleted, "spam deleted ", "", 0, ""},
      {"RealFilterScoreBelowTheBand", kLinux, "SPAMSCORE=5000 QUARANTINE=2", "", kSpam, "real-filter", O::kLeft, "clean kept ", "", 0, ""},
  };
}

// sacheck as a program, where the sandbox's folders, its trial scan and its queues count (the keys by their lines and each
// section's policy: the unit table). The main section's keys lie from line 4 in the order of their names; the sections from
// line 11 (one more key in the main section: 12).
std::vector<PolicyCheckCase> CheckTable() {
  const std::string flag = "spam by the filter's flag; spam -> ";
  return {
      {"MainSectionKeyInAConnectorSection", kBoth, "", "[Connector {connector}]\r\nTEMPPATH=C:\\Temp\r\nquarantine=2\r\n", 0,
       "WARNING|line 12|[Connector {connector}] TEMPPATH belongs in the main section\nOK|policy, [Connector {connector}]|" + flag +
           "deleted; clean -> tagged\n!line 13"},
      {"ConnectorSectionWithoutAQueueFolder", kLinux, "", "[Connector Inbund]\r\nQUARANTINE=2\r\n", 0,
       "WARNING|line 11|[Connector Inbund] names no connector: {data}\\QUEUES has no folder Inbund, so no run reads this section "
       "(the connectors: {connector})"},
      {"HighScoreNotAboveTheRequiredScore", kLinux, "HIGHSCORE=5 HIGHSCOREACTION=2", "", 0,
       "WARNING|line 4|HIGHSCORE 5 is not above the rules' required score 5.0 (the trial scan's)"},
      // "; queue NAME" makes a connector's queue folder.
      {"ConnectorNameWithABracket", kBoth, "", "; queue {connector}[1]\r\n", 0,
       "WARNING|connector {connector}[1]|its name holds \"[\" or \"]\": no run finds a section [Connector {connector}[1]]"},
      // The sample with every recipe taken in (its folders the sandbox's): each key one that runs read where it stands.
      {"SampleRecipes", kLinux, "=sample", "", 0,
       "!line \nWARNING|policy, main|spam at score 5 or more (by the flag without a score); spam -> quarantined; high score 15 -> deleted; "
       "clean -> tagged; over 262144 bytes unscanned (test mode)\nover 262144 bytes unscanned (bypass in test mode: scanned, logged as would-bypass)\n"
       "WARNING|policy, [Connector POP3]|spam at score 4 or more"},
  };
}

std::string Expand(std::string text, const std::string& connector) {
  for (std::size_t at; (at = text.find("{connector}")) != std::string::npos;) text.replace(at, 11, connector);
  return text;
}

}  // namespace

std::vector<PolicyCase> PolicyCases(int build) {
  std::vector<PolicyCase> rows;
  for (const PolicyCase& row : Table()) {
    if (row.builds & build) rows.push_back(row);
  }
  return rows;
}

std::vector<PolicyCheckCase> PolicyCheckCases(int build) {
  std::vector<PolicyCheckCase> rows;
  for (const PolicyCheckCase& row : CheckTable()) {
    if (row.builds & build) rows.push_back(row);
  }
  return rows;
}

void RunPolicyCheckCase(const Build& build, const PolicyCheckCase& c) {
  Sandbox box(build);
  const std::string config = box.bin + "/spamassassinconfig.ini";
  if (c.settings == "=sample") {
    std::istringstream sample(ReadFile(SAPLUGIN_SOURCE_DIR "/dist/spamassassinconfig.ini"));
    const std::map<std::string, std::string> folders{{"QUARANTINEPATH", box.quarantine}, {"TEMPPATH", box.temp}, {"SALEARNEXE", ""},
                                                     {"SPAMASSASSINEXE", build.safilter}, {"SPAMASSASSINRULESPATH", box.folder / "rules"},
                                                     {"SCANLOGPATH", box.folder / "scan log"}};
    std::string text;
    for (std::string line; std::getline(sample, line);) {
      if (line.size() > 1 && line[0] == ';' && (line[1] == '[' || std::isupper(static_cast<unsigned char>(line[1])))) line.erase(0, 1);
      const auto folder = folders.find(line.substr(0, line.find('=')));
      if (folder != folders.end()) line = folder->first + "=" + (folder->second.empty() ? "" : box.Native(folder->second));
      // Each recipe's connector has its queue.
      if (line.rfind("[Connector ", 0) == 0) std::filesystem::create_directories(box.data + "/QUEUES/" + line.substr(11, line.size() - 12) + "/Inbound/Messages");
      text += line + "\n";
    }
    WriteFile(config, text);
  } else {
    box.Configure(c.settings);
    WriteFile(config, ReadFile(config) + "\r\n" + Expand(c.sections, box.connector));
  }
  const std::string queue = c.sections.rfind("; queue ", 0) == 0 ? box.data + "/QUEUES/" + Expand(c.sections.substr(8, c.sections.find('\r') - 8), box.connector) : "";
  if (!queue.empty()) std::filesystem::create_directories(queue + "/Inbound/Messages");
  const RunResult run = box.Run({}, "sacheck");
  if (!queue.empty()) std::filesystem::remove_all(queue);
  EXPECT_EQ(run.status, c.status) << run.output;
  std::istringstream lines(std::regex_replace(Expand(c.lines, box.connector), std::regex("\\{data\\}"), box.Native(box.data)));
  for (std::string line; std::getline(lines, line);) {
    if (line[0] == '!' || line.find('|') == std::string::npos) {
      EXPECT_EQ(Has(run.output, line.c_str() + (line[0] == '!')), line[0] != '!') << line << " in\n" << run.output;
      continue;
    }
    // As sacheck aligns them: status and subject in columns.
    const std::size_t bar = line.find('|'), second = line.find('|', bar + 1);
    char head[96];
    std::snprintf(head, sizeof head, "%-8s %-22s ", line.substr(0, bar).c_str(), line.substr(bar + 1, second - bar - 1).c_str());
    EXPECT_TRUE(Has(run.output, (head + line.substr(second + 1)).c_str())) << head << line.substr(second + 1) << " in\n" << run.output;
  }
  // sacheck writes no entry.
  EXPECT_TRUE(box.Events().empty());
}

void RunPolicyCase(const Build& build, const PolicyCase& c) {
  Sandbox box(build);
  std::string settings = c.settings;
  if (c.directives == "real-filter") {
    ASSERT_EQ(std::system(("'" SAPLUGIN_SOURCE_DIR "/scripts/make-sa-rules' '" + box.folder / "rules'").c_str()), 0);
    settings += " SPAMASSASSINEXE=/usr/bin/spamassassin";
  } else if (!c.directives.empty()) {
    WriteFile(box.folder / "rules.txt", c.directives + "\n");
    settings += " SPAMASSASSINRULESPATH={box}/rules.txt";
  }
  box.Configure(settings);
  const std::string config = box.bin + "/spamassassinconfig.ini";
  WriteFile(config, ReadFile(config) + "\r\n" + Expand(c.sections, box.connector));
  box.Queue("N.MAI", c.message);
  const RunResult run = box.Run();
  EXPECT_EQ(run.status, c.status) << run.standard_error;

  const std::vector<std::string> events = box.Events();
  EXPECT_EQ(events.size(), c.entry.empty() ? 0u : 1u) << (events.empty() ? "" : events[0]);
  const std::string entry = Expand(c.entry, box.connector);
  if (!entry.empty() && !events.empty()) {
    EXPECT_EQ(events[0].substr(0, entry.size()), entry);
  }

  const std::string message = box.messages + "/N.MAI", pickup = box.inbound + "/N.MAI";
  const bool queued = Exists(message) && Exists(pickup);
  std::set<std::string> quarantined;
  for (const std::string& file : FilesIn(box.quarantine + "/Messages")) {
    if (file.size() > 4 && file.substr(file.size() - 4) == ".MAI") quarantined.insert(file);
  }
  switch (c.outcome) {
    case O::kLeft:
      EXPECT_TRUE(queued && ReadFile(message) == c.message) << "the message is not as it arrived";
      break;
    case O::kTagged: {
      // SpamAssassin may wrap what it flagged in its report; the stand-in puts its fields on top.
      const std::string tagged = queued ? ReadFile(message) : "";
      const bool whole = c.directives == "real-filter" || (tagged.size() > c.message.size() && tagged.substr(tagged.size() - c.message.size()) == c.message);
      EXPECT_TRUE(whole && tagged != c.message && Has(tagged, "X-Spam-Status:")) << tagged;
      // A tagged copy of spam says so in its header section, for the recipients' junk rules.
      const bool spam = c.logged.rfind("spam ", 0) == 0;
      EXPECT_TRUE(!spam || Has("\r\n" + tagged.substr(0, tagged.find("\r\n\r\n")), "\r\nX-Spam-Flag: YES\r\n")) << tagged;
      break;
    }
    case O::kQuarantined:
      EXPECT_FALSE(Exists(message) || Exists(pickup));
      ASSERT_EQ(quarantined.size(), 1u);
      EXPECT_EQ(ReadFile(box.quarantine + "/Messages/" + *quarantined.begin()), c.message);
      break;
    case O::kDeleted:
    case O::kPickupGone:
      EXPECT_FALSE(Exists(message) || Exists(pickup));
      EXPECT_TRUE(quarantined.empty());
      break;
  }
  EXPECT_TRUE(c.outcome == O::kQuarantined || quarantined.empty());
  // Nothing of the run's own is left behind; a host's record stays for the next runs.
  for (const std::string& file : FilesIn(box.temp)) EXPECT_EQ(file.substr(0, 6), "spamd-");

  const std::vector<std::string> lines = box.ScanLogLines();
  if (c.logged == "-") {
    EXPECT_TRUE(lines.empty());
    return;
  }
  ASSERT_EQ(lines.size(), 2u);
  const std::vector<std::string> f = ParseCsvLine(lines[1]);
  ASSERT_EQ(f.size(), 15u) << lines[1];
  EXPECT_EQ((f[kLogVerdict] + " " + f[kLogOutcome] + " " + f[kLogScore]).substr(0, c.logged.size()), c.logged) << lines[1];
  EXPECT_EQ(f[kLogReason].substr(0, c.reason.size()), c.reason) << lines[1];
  EXPECT_TRUE(!c.reason.empty() || f[kLogReason].empty()) << lines[1];
  EXPECT_EQ(f[kLogQuarantineFile].empty(), c.outcome != O::kQuarantined) << lines[1];
  // SpamAssassin's GTUBE score, read from its own folded field, lies between the two bands.
  if (c.directives == "real-filter") {
    EXPECT_TRUE(std::stod(f[kLogScore]) > 500 && std::stod(f[kLogScore]) < 5000) << lines[1];
  }
}

}  // namespace saplugin
