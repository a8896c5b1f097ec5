// sareport --policy: the runs' own scan log replayed under a policy file,
// against a count of the same log by the test's own script.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "e2e/e2e.h"
#include "store/scan_log.h"

namespace saplugin {
namespace {

// Spam at and around the policy's scores, a message over its size limit, a
// connector in test mode, one message too large today and one gone, two releases.
TEST(Report, APolicyReplayedAgreesWithACountOfTheLogByItsRules) {
  Sandbox box;
  // A filter that gives each message the score its X-Score field names, spam from 5.
  WriteFile(box.folder / "filter.sh", "#!/bin/sh\nm=$(cat)\ns=$(printf '%s' \"$m\" | sed -n 's/^X-Score: *//p')\nif [ \"${s%%.*}\" -ge 5 ]; then "
                                      "printf 'X-Spam-Flag: YES\\r\\n'; fi\nprintf 'X-Spam-Status: x, score=%s required=5.0 tests=A\\r\\n%s\\r\\n' \"$s\" \"$m\"\n");
  chmod((box.folder / "filter.sh").c_str(), 0755);
  box.Configure("SPAMASSASSINEXE={box}/filter.sh MAXMESSAGESIZE=2000");
  WriteFile(box.bin + "/spamassassinconfig.ini", ReadFile(box.bin + "/spamassassinconfig.ini") + "[Connector Trial]\r\nTESTMODE=1\r\n");
  const auto run = [&](const std::string& connector, const std::string& name, const std::string& score, std::size_t padding) {
    const std::string inbound = box.data + "/QUEUES/" + connector + "/Inbound";
    std::filesystem::create_directories(inbound + "/Messages");
    WriteFile(inbound + "/" + name, "pickup\r\n");
    WriteFile(inbound + "/Messages/" + name, "X-Score: " + score + "\r\nSubject: " + (score == "15.0" ? "=?UTF-8?B?w4ljb2xl?=" : score) + "\r\n\r\n" +
                                                 std::string(padding, 'x'));
    EXPECT_EQ(box.Run({name, connector}).status, 0) << name;
  };
  const char* const scores[] = {"1.0", "4.9", "5.0", "6.0", "6.5", "9.9", "10.0", "15.0", "-2.0"};
  for (int i = 0; i < 9; ++i) run("Conn", "M" + std::to_string(i) + ".MAI", scores[i], i == 4 ? 1500 : 10);
  for (const char* score : {"3.0", "7.0", "12.0"}) run("Trial", std::string("T") + score, score, 10);
  run("Conn", "BIG.MAI", "9.0", 3000);
  EXPECT_EQ(box.Run({"GONE.MAI", "Other"}).status, 0);
  // Released: the spam at 5.0 and at 10.0, each then let pass by its run.
  for (const std::string& line : box.ScanLogLines()) {
    const std::vector<std::string> f = ParseCsvLine(line);
    if (f[2] != "M2.MAI" && f[2] != "M6.MAI") continue;
    ASSERT_EQ(box.Run({"release", f[10].substr(0, 32)}, "saquarantine").status, 0);
    EXPECT_EQ(box.Run({f[2], "Conn"}).status, 0);
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
  // At SPAMSCORE spam, at HIGHSCORE deleted, flagged below SPAMSCORE as received, over the size limit unscanned.
  EXPECT_TRUE(Has(counted, "page: all quarantined>deleted=2; all quarantined>kept=1; all quarantined>quarantined=2; all quarantined>too-large=1;"));
  const std::string html = ReadFile(box.folder / "report.html");
  EXPECT_TRUE(Has(html, "<td>\xC3\x89" "cole</td><td>quarantined</td><td>deleted</td>")) << html;  // the subject decoded
  EXPECT_TRUE(Has(html, "would-quarantine (test mode)") && Has(html, "names no QUARANTINEPATH: the quarantine in use"));
}

}  // namespace
}  // namespace saplugin
