// sareport --policy: the runs' own scan log replayed under a policy file,
// against a count of the same log by the test's own script, and the policy
// files it refuses.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "e2e/e2e.h"
#include "store/scan_log.h"

namespace saplugin {
namespace {

// The runs' lines: a test-mode connector, spam at and around the policy's
// scores, a message over the policy's size limit, one too large today, one
// gone, two releases.
TEST(Report, APolicyReplayedAgreesWithACountOfTheLogByItsRules) {
  Sandbox box;
  // A filter that gives each message the score its X-Score field names, spam from 5.
  WriteFile(box.folder / "filter.sh", "#!/bin/sh\nm=$(cat)\ns=$(printf '%s' \"$m\" | sed -n 's/^X-Score: *//p' | head -1)\n"
                                      "if [ \"${s%%.*}\" -ge 5 ]; then printf 'X-Spam-Flag: YES\\r\\nX-Spam-Status: Yes, score=%s required=5.0 "
                                      "tests=SPAM_RULE\\r\\n' \"$s\"; else printf 'X-Spam-Status: No, score=%s required=5.0 tests=none\\r\\n' \"$s\"; fi\n"
                                      "printf '%s\\r\\n' \"$m\"\n");
  chmod((box.folder / "filter.sh").c_str(), 0755);
  box.Configure("SPAMASSASSINEXE={box}/filter.sh MAXMESSAGESIZE=2000");
  WriteFile(box.bin + "/spamassassinconfig.ini", ReadFile(box.bin + "/spamassassinconfig.ini") + "[Connector Trial]\r\nTESTMODE=1\r\n");
  const auto run = [&](const std::string& connector, const std::string& name, const std::string& score, std::size_t padding) {
    const std::string inbound = box.data + "/QUEUES/" + connector + "/Inbound";
    std::filesystem::create_directories(inbound + "/Messages");
    WriteFile(inbound + "/" + name, "pickup\r\n");
    WriteFile(inbound + "/Messages/" + name, "From: a@example.com\r\nX-Score: " + score + "\r\nSubject: " +
                                                 (score == "15.0" ? "=?UTF-8?B?w4ljb2xl?=" : "Note " + score) + "\r\n\r\n" + std::string(padding, 'x'));
    EXPECT_EQ(box.Run({name, connector}).status, 0) << name;
  };
  const char* const scores[] = {"1.0", "4.9", "5.0", "6.0", "6.5", "9.9", "10.0", "15.0", "-2.0"};
  for (int i = 0; i < 9; ++i) run("Conn", "M" + std::to_string(i) + ".MAI", scores[i], i == 4 ? 1500 : 10);
  for (const char* score : {"3.0", "7.0", "12.0"}) run("Trial", std::string("T") + score + ".MAI", score, 10);
  run("Conn", "BIG.MAI", "9.0", 3000);
  EXPECT_EQ(box.Run({"GONE.MAI", "Other"}).status, 0);
  // Released: the spam at 5.0 and at 10.0, each then let pass by its run.
  for (const std::string name : {"M2.MAI", "M6.MAI"}) {
    for (const std::string& file : FilesIn(box.quarantine + "/Messages")) {
      if (file.size() > 4 && file.substr(file.size() - 4) == ".INF" && Has(ReadFile(box.quarantine + "/Messages/" + file), ("message=" + name).c_str())) {
        ASSERT_EQ(box.Run({"release", file.substr(0, 32)}, "saquarantine").status, 0);
      }
    }
    EXPECT_EQ(box.Run({name, "Conn"}).status, 0);
  }
  WriteFile(box.folder / "policy.ini", "[SPAMASSASSIN Plugin Config]\r\nQUARANTINE=1\r\nSPAMSCORE=6.0\r\nHIGHSCORE=10\r\nHIGHSCOREACTION=2\r\n"
                                       "MAXMESSAGESIZE=1000\r\n[connector trial]\r\nQUARANTINE=2\r\n");
  const RunResult report = box.Run({"--to", ToLocalTime(std::time(nullptr)).date, "--policy", box.folder / "policy.ini", "--out", box.folder / "report.html"},
                                   "sareport");
  ASSERT_EQ(report.status, 0) << report.standard_error;
  EXPECT_TRUE(Has(report.output, "releases: 1 still quarantined or deleted, 1 let through")) << report.output;

  const std::string log = box.folder / ("scan log/" + *FilesIn(box.folder / "scan log").begin());
  WaitProcess(StartProcess({"python3", SAPLUGIN_SOURCE_DIR "/tests/e2e/replay_count.py", log, box.folder / "policy.ini", box.folder / "report.html"}, {},
                           box.folder / "count.err", "", box.folder / "count.txt"));
  const std::string counted = ReadFile(box.folder / "count.txt");
  const std::size_t page = counted.find("\npage: ");
  ASSERT_NE(page, std::string::npos) << counted << ReadFile(box.folder / "count.err");
  EXPECT_EQ(counted.substr(page + 7), counted.substr(7, page - 7) + "\n");
  // At SPAMSCORE spam, at HIGHSCORE deleted, over the size limit unscanned,
  // the test-mode lines replayed as what they are.
  EXPECT_EQ(counted.substr(page + 7),
            "all quarantined>deleted=2; all quarantined>quarantined=2; all quarantined>tagged=1; all quarantined>too-large=1; all tagged>tagged=3; "
            "all too-large>too-large=1; all would-quarantine>deleted=2; all would-tag>tagged=1; connector Conn quarantined>deleted=2; "
            "connector Conn quarantined>quarantined=2; connector Conn quarantined>tagged=1; connector Conn quarantined>too-large=1; "
            "connector Conn tagged>tagged=3; connector Conn too-large>too-large=1; connector Trial would-quarantine>deleted=2; "
            "connector Trial would-tag>tagged=1; not-replayed missing=1; not-replayed released=2; releases-caught=1; releases-through=1\n");
  const std::string html = ReadFile(box.folder / "report.html");
  EXPECT_TRUE(Has(html, "<td>\xC3\x89" "cole</td><td>quarantined</td><td>deleted</td>")) << html;  // the subject decoded
  EXPECT_TRUE(Has(html, "would-quarantine (test mode)") && Has(html, "names no QUARANTINEPATH: the quarantine in use"));
}

// A policy file that is not there, or holds a value that does not convert:
// named with its section, key and value before any log is read.
TEST(Report, APolicyFileWithABadValueStopsTheReport) {
  const std::pair<const char*, const char*> files[] = {
      {nullptr, "does not exist"},
      {"[SPAMASSASSIN Plugin Config]\r\nSPAMSCORE=6,5\r\n", ": [SPAMASSASSIN Plugin Config] Type mismatch: SPAMSCORE \"6,5\" is not a score"},
      {"[SPAMASSASSIN Plugin Config]\r\nSPAMSCORE=6\r\n[Connector Nobody]\r\nHIGHSCOREACTION=two\r\n",
       ": Type mismatch: [Connector Nobody] HIGHSCOREACTION \"two\" is not a whole number"},
  };
  for (const auto& [text, error] : files) {
    Sandbox box;
    box.Configure();
    if (text != nullptr) WriteFile(box.folder / "policy.ini", text);
    const RunResult report = box.Run({"--policy", box.folder / "policy.ini", "--out", box.folder / "report.html"}, "sareport");
    EXPECT_EQ(report.status, 2);
    EXPECT_TRUE(Has(report.standard_error, ("the policy file " + box.folder / "policy.ini").c_str()) && Has(report.standard_error, error))
        << report.standard_error;
    EXPECT_FALSE(Exists(box.folder / "report.html"));
  }
}

}  // namespace
}  // namespace saplugin
