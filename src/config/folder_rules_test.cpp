#include "config/folder_rules.h"

#include <gtest/gtest.h>

namespace saplugin {
namespace {

FolderFacts Facts(const std::string& temp_path, const std::string& temp, const std::string& quarantine_path, const std::string& quarantine,
                  const std::string& quarantine_messages, const std::string& queues, const std::string& temp_on_command_line) {
  FolderFacts facts;
  facts.temp_path = temp_path;
  facts.temp = temp;
  facts.quarantine_path = quarantine_path;
  facts.quarantine = quarantine;
  facts.quarantine_messages = quarantine_messages;
  facts.queues = queues;
  facts.temp_on_command_line = temp_on_command_line;
  return facts;
}

// The folder settings a run refuses, from what the folders lead to: one line
// a set-up (T: TEMPPATH, Q: QUARANTINEPATH, each as written and where it
// leads; the queue folder; the interpreter's reading of TEMPPATH), and the
// keys refused with a part of the first text.
TEST(FolderRules, RefusedAreTheFoldersThatCannotWork) {
  const std::string queues = "C:\\Data\\QUEUES", q = "C:\\Mail\\Quarantine";
  const struct {
    FolderFacts facts;
    std::string refused, text;
  } rows[] = {
      {Facts("C:\\Temp\\", "C:\\Temp", "C:\\Q\\", q, q + "\\Messages", queues, "C:\\Temp\\"), "", ""},
      {Facts("", "", "C:\\Q\\", q, q + "\\Messages", queues, ""), "TEMPPATH", "TEMPPATH is not set"},
      {Facts("C:\\%TEMP%\\", "", "", "", "", queues, "C:\\C:\\Temp\\"), "TEMPPATH", "look for each run's batch file in \"C:\\C:\\Temp\""},
      // Through spamd the interpreter reads no batch file.
      {Facts("C:\\%TEMP%\\", "C:\\%TEMP%", "", "", "", queues, ""), "", ""},
      // One folder spelt otherwise: where each leads is what counts, letter case and separators aside.
      {Facts("C:\\mail\\quarantine\\.\\", "c:\\MAIL\\Quarantine", "C:\\Q\\", q, q + "\\Messages", queues, "C:\\mail\\quarantine\\.\\"), "TEMPPATH",
       "is the quarantine folder (QUARANTINEPATH \"C:\\Q\")"},
      {Facts("T\\", "/mail/Quarantine/messages", "Q\\", "/mail/Quarantine", "/mail/Quarantine/Messages", "", "T\\"), "TEMPPATH", "is the quarantine's Messages folder"},
      {Facts("T\\", q + "\\Messages\\old", "Q\\", q, q + "\\Messages", queues, "T\\"), "", ""},
      {Facts("T\\", queues + "\\SMTP\\Inbound", "", "", "", queues, "T\\"), "TEMPPATH", "lies in the mail server's queue folder C:\\Data\\QUEUES"},
      {Facts("T\\", queues, "", "", "", queues, "T\\"), "TEMPPATH", "the server would take a run's temporary files for mail"},
      {Facts("T\\", "C:\\Data\\QUEUES2", "Q\\", "C:\\Data", "C:\\Data\\Messages", queues, "T\\"), "", ""},
      {Facts("T\\", "C:\\Temp", "Q\\", queues + "\\SMTP\\Inbound\\Messages", "", queues, "T\\"), "QUARANTINEPATH", "picked up again as new mail"},
      {Facts("", "", "Q\\", "c:\\data\\queues\\x", "", queues, ""), "TEMPPATH QUARANTINEPATH", "TEMPPATH is not set"},
      {Facts("T\\", "C:\\Temp", "Q\\", q, queues + "\\SMTP\\Inbound", queues, "T\\"), "QUARANTINEPATH", "\"Q\"'s Messages folder lies in"},
      // An unknown queue folder refuses nothing.
      {Facts("T\\", "C:\\Temp", "Q\\", q, q + "\\Messages", "", "T\\"), "", ""},
  };
  for (const auto& row : rows) {
    const std::vector<FolderProblem> problems = UnworkableFolders(row.facts);
    std::string keys;
    for (const FolderProblem& problem : problems) keys += (keys.empty() ? "" : " ") + problem.key;
    EXPECT_EQ(keys, row.refused) << row.facts.temp_path << " " << row.facts.quarantine_path;
    EXPECT_NE((problems.empty() ? "" : problems.front().text).find(row.text), std::string::npos) << problems.front().text;
  }
}

// A folder that the system names otherwise (a share of a local folder, a bind mount) is known by what it is.
TEST(FolderRules, AQueueFolderByAnotherNameIsInTheQueue) {
  FolderFacts facts = Facts("T\\", "\\\\mail\\t", "Q\\", "\\\\mail\\q", "\\\\mail\\q\\Messages", "C:\\Data\\QUEUES", "T\\");
  facts.queue_identities = {"1:1", "1:2"};
  EXPECT_TRUE(UnworkableFolders(facts).empty());
  facts.temp_identity = "1:2";
  facts.quarantine_messages_identity = "1:1";
  const std::vector<FolderProblem> problems = UnworkableFolders(facts);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[0].text.find("TEMPPATH \"T\" lies in the mail server's queue folder"), std::string::npos) << problems[0].text;
  EXPECT_NE(problems[1].text.find("\"Q\"'s Messages folder lies in"), std::string::npos) << problems[1].text;
  facts.scan_log_identity = "1:1";
  EXPECT_NE(ScanLogFolderProblem(facts), "");
  // TEMPPATH the quarantine's Messages folder by another name.
  facts.temp_identity = "1:1";
  EXPECT_NE(UnworkableFolders(facts).at(0).text.find("is the quarantine's Messages folder"), std::string::npos);
}

TEST(FolderRules, AScanLogInTheQueueIsTurnedOff) {
  FolderFacts facts;
  facts.queues = "C:\\Data\\QUEUES";
  facts.scan_log = "C:\\Data\\Logs";
  EXPECT_EQ(ScanLogFolderProblem(facts), "");
  facts.scan_log = "c:\\data\\queues\\SMTP\\Inbound";
  EXPECT_NE(ScanLogFolderProblem(facts).find("SCANLOGPATH lies in the mail server's queue folder C:\\Data\\QUEUES"), std::string::npos);
}

TEST(FolderRules, FullPathsAndFoldersWithin) {
  for (const char* full : {"C:\\Mail", "c:/mail", "\\\\server\\share", "/var/spool", "\\Mail"}) EXPECT_TRUE(IsFullPath(full)) << full;
  for (const char* relative : {"", "Temp", ".\\Temp", "..\\Temp", "C:Temp", "1:\\x", "%TEMP%"}) EXPECT_FALSE(IsFullPath(relative)) << relative;
  EXPECT_TRUE(SameOrInside("C:\\Data\\Queues\\A", "c:/data/QUEUES/"));
  EXPECT_TRUE(SameOrInside("/data/QUEUES", "/data/QUEUES"));
  EXPECT_FALSE(SameOrInside("/data/QUEUESX", "/data/QUEUES"));
  EXPECT_FALSE(SameOrInside("/data", "/data/QUEUES"));
  EXPECT_FALSE(SameOrInside("", "/data"));
  EXPECT_FALSE(SameOrInside("/data", ""));
}

}  // namespace
}  // namespace saplugin
