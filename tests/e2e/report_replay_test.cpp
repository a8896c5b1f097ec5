// sareport --policy: the runs' own scan log replayed under a policy file,
// the page's figures against the counts they must have.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "e2e/e2e.h"
#include "store/scan_log.h"

namespace saplugin {
namespace {

// Spam at and around the policy's scores, a message over its size limit, a
// connector in test mode, one message too large today and one gone, two releases.
TEST(Report, APolicyReplayedAgreesWithACountOfTheLogByItsRules) {
  Sandbox box;
  ConfigureScoreFilter(box, "MAXMESSAGESIZE=2000");
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
    if (f[kLogMessage] != "M2.MAI" && f[kLogMessage] != "M6.MAI") continue;
    ASSERT_EQ(box.Run({"release", f[kLogQuarantineFile].substr(0, 32)}, "saquarantine").status, 0);
    EXPECT_EQ(box.Run({f[kLogMessage], "Conn"}).status, 0);
  }
  WriteFile(box.folder / "policy.ini", "[SPAMASSASSIN Plugin Config]\r\nQUARANTINE=1\r\nSPAMSCORE=6.0\r\nHIGHSCORE=10\r\nHIGHSCOREACTION=2\r\n"
                                       "MAXMESSAGESIZE=1000\r\n[connector trial]\r\nQUARANTINE=2\r\n");
  const RunResult report = box.Run({"--to", ToLocalTime(std::time(nullptr)).date, "--policy", box.folder / "policy.ini", "--out", box.folder / "report.html"},
                                   "sareport");
  ASSERT_EQ(report.status, 0) << report.standard_error;
  EXPECT_TRUE(Has(report.output, "releases: 1 still quarantined or deleted, 1 let through")) << report.output;

  // The page's figures, from its data- attributes: each replay table's cells, the lines not replayed, the releases.
  const std::string html = ReadFile(box.folder / "report.html");
  std::map<std::string, std::string> shown;
  const auto each = [](const std::string& text, const char* pattern, const std::function<void(const std::smatch&)>& take) {
    const std::regex expression(pattern);
    for (std::sregex_iterator m(text.begin(), text.end(), expression), end; m != end; ++m) take(*m);
  };
  for (std::size_t at = 0; (at = html.find("<table ", at)) != std::string::npos; ++at) {
    const std::string tag = html.substr(at, html.find('>', at) - at), body = html.substr(at, html.find("</table>", at) - at);
    std::smatch connector;
    if (tag != "<table id=\"replay-all\"" && !std::regex_search(tag, connector, std::regex("data-replay-connector=\"([^\"]*)\""))) continue;
    const std::string table = connector.empty() ? "all" : "connector " + connector[1].str();
    each(body, "data-before=\"([^\"]+)\" data-after=\"([^\"]+)\"><[^>]+>([0-9]+)<",
         [&](const std::smatch& m) { shown[table + " " + m[1].str() + ">" + m[2].str()] = m[3]; });
  }
  each(html, "data-not-replayed=\"([^\"]+)\">([0-9]+)<", [&](const std::smatch& m) { shown["not-replayed " + m[1].str()] = m[2]; });
  each(html, "data-figure=\"(releases-[a-z]+)\">([1-9][0-9]*)<", [&](const std::smatch& m) { shown[m[1]] = m[2]; });
  std::string figures;
  for (const auto& [name, n] : shown) figures += (figures.empty() ? "" : "; ") + name + "=" + n;
  // At SPAMSCORE spam, at HIGHSCORE deleted, flagged below SPAMSCORE as received, over the size limit unscanned; the
  // test-mode connector by its own section; the message gone and the two runs that release marks passed, not replayed.
  EXPECT_EQ(figures,
            "all quarantined>deleted=2; all quarantined>kept=1; all quarantined>quarantined=2; all quarantined>too-large=1; "
            "all tagged>tagged=3; all too-large>too-large=1; all would-quarantine>deleted=2; all would-tag>tagged=1; "
            "connector Conn quarantined>deleted=2; connector Conn quarantined>kept=1; connector Conn quarantined>quarantined=2; "
            "connector Conn quarantined>too-large=1; connector Conn tagged>tagged=3; connector Conn too-large>too-large=1; "
            "connector Trial would-quarantine>deleted=2; connector Trial would-tag>tagged=1; "
            "not-replayed missing=1; not-replayed released=2; releases-caught=1; releases-through=1");
  EXPECT_TRUE(Has(html, "<td>\xC3\x89" "cole</td><td>quarantined</td><td>deleted</td>")) << html;  // the subject decoded
  EXPECT_TRUE(Has(html, "would-quarantine (test mode)") && Has(html, "names no QUARANTINEPATH: the quarantine in use"));
}

}  // namespace
}  // namespace saplugin
