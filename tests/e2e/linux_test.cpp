// The scenario table against the Linux build (sacmd as the interpreter, the
// stand-in filter), runs killed at random moments, the syslog event log, and
// the real SpamAssassin, alone and through its daemon (by the spamc adapter,
// and by SPAMDHOSTS: a pool, and daemons that fail).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <ctime>
#include <map>
#include <random>

#include "e2e/quarantine.h"
#include "e2e/spamd.h"
#include "store/scan_log.h"

namespace saplugin {
namespace {

namespace fs = std::filesystem;

class LinuxScenario : public ::testing::TestWithParam<Scenario> {};
TEST_P(LinuxScenario, LeavesTheQueueAndTheEventLogAsExpected) { RunScenario(LinuxBuild(), GetParam()); }
INSTANTIATE_TEST_SUITE_P(Scan, LinuxScenario, ::testing::ValuesIn(Scenarios(kLinux)),
                         [](const auto& info) { return info.param.name; });

class LinuxQuarantine : public ::testing::TestWithParam<QuarantineCase> {};
TEST_P(LinuxQuarantine, SaquarantineDoesItsWork) { RunQuarantineCase(LinuxBuild(), GetParam()); }
INSTANTIATE_TEST_SUITE_P(Quarantine, LinuxQuarantine, ::testing::ValuesIn(QuarantineCases(kLinux)),
                         [](const auto& info) { return info.param.name; });

// Headless Chromium, as this machine runs it for a test: as root without its
// sandbox, and with none of its own traffic; answers what it printed.
std::string Chromium(const Sandbox& box, const std::vector<std::string>& words) {
  std::vector<std::string> line = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                                   "--disable-background-networking", "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                                   "--user-data-dir=" + box.folder / "chromium"};
  line.insert(line.end(), words.begin(), words.end());
  WaitProcess(StartProcess(line, {}, box.folder / "chromium.err", "", box.folder / "chromium.out"));
  return ReadFile(box.folder / "chromium.out");
}

TEST(Digest, EachLocalRecipientGetsTheirsWhateverTheServerDoesWithTheOthers) { ExpectDigestsReachTheirRecipients(LinuxBuild()); }
TEST(DigestRace, ARequestRacingAReleaseOrADigestReleasesOnceAndAKilledDigestLosesNothing) { ExpectRequestsRaceReleasesAndDigests(); }

// sareport's page in a real browser: the figures it shows against the counts
// they must have, every chart drawn, nothing loaded from anywhere, and a
// subject of HTML and script shown as text.
TEST(Report, ThePageShowsTheLogsFiguresDrawsEveryChartLoadsNothingAndRunsNoText) {
  ASSERT_TRUE(Exists("/usr/bin/chromium")) << "scripts/test installs Chromium";
  Sandbox box;
  ConfigureScoreFilter(box, "MAXMESSAGESIZE=2000");
  const std::string hostile = "<script>document.title='pwned'</script><img src=x onerror=\"document.title='pwned'\">";
  const char* const scores[] = {"0.0", "4.2", "4.5", "3.0", "6.0", "12.0", "-1.0", "2.0", "4.9", "7.5"};
  for (int i = 0; i < 10; ++i) {
    box.Queue("M" + std::to_string(i) + ".MAI", "From: a" + std::to_string(i) + "@example.com\r\nX-Score: " + scores[i] + "\r\nSubject: " +
                                                  (i == 3 ? hostile : i == 5 ? "=?UTF-8?B?w4ljb2xl?= =?UTF-8?Q?_d'=C3=A9t=C3=A9?="
                                                   : i == 6 ? "=?ISO-8859-1?Q?Fran=E7ois?=" : i == 7 ? "Caf\xE9 noir" : "Note " + std::to_string(i)) +
                                                  "\r\n\r\nText.\r\n");
    EXPECT_EQ(box.Run({"M" + std::to_string(i) + ".MAI", box.connector}).status, 0) << i;
  }
  box.Queue("BIG.MAI", "Subject: big\r\n\r\n" + std::string(3000, 'b'));
  EXPECT_EQ(box.Run({"BIG.MAI", box.connector}).status, 0);
  EXPECT_EQ(box.Run({"GONE.MAI", "Other"}).status, 0);
  const std::string log = box.folder / ("scan log/" + *FilesIn(box.folder / "scan log").begin());
  WriteFile(log, ReadFile(log) + "a line cut short\r\n");
  // An operator's release, and the run it lets pass: one release, one message.
  const std::string released = "M4.MAI", id = IdOf(box, released);
  ASSERT_EQ(box.Run({"release", id}, "saquarantine").status, 0);
  EXPECT_EQ(box.Run({released, box.connector}).status, 0);
  // Today is not over: named with --to, the page says so.
  const RunResult report = box.Run({"--to", ToLocalTime(std::time(nullptr)).date, "--out", box.folder / "report.html"}, "sareport");
  ASSERT_EQ(report.status, 0) << report.standard_error;
  EXPECT_TRUE(Has(report.output, "messages                              12") && Has(report.output, "which is not over")) << report.output;

  // A message is a run that found its message; an operator's release line is a release.
  const std::string dom = Chromium(box, {"--dump-dom", "file://" + box.folder / "report.html"});
  std::string shown;
  for (const char* figure : {"messages", "spam", "quarantined", "too-large", "near-misses", "released"}) {
    std::smatch value;
    ASSERT_TRUE(std::regex_search(dom, value, std::regex(std::string("data-figure=\"") + figure + "\">(-?[0-9]+)<"))) << figure << dom.substr(0, 500);
    shown += std::string(shown.empty() ? "" : " ") + figure + "=" + value[1].str();
  }
  EXPECT_EQ(shown, "messages=12 spam=3 quarantined=3 too-large=1 near-misses=3 released=1");
  EXPECT_FALSE(Has(dom, "data-connector=\"Other\"")) << dom;  // its one run found no message
  EXPECT_TRUE(Has(dom, "1 line skipped: a line without the log") && Has(dom, "1 line skipped"));
  // The days of the period without a log are named; the slowest scans' seconds keep their leading zero.
  const std::string missing = ToLocalTime(std::time(nullptr) - 6 * 86400).date + " to " + ToLocalTime(std::time(nullptr) - 86400).date;
  EXPECT_TRUE(Has(dom, ("no scan log in " + box.folder / "scan log/ for " + missing).c_str())) << dom;  // with its own separators
  EXPECT_TRUE(std::regex_search(dom, std::regex("<td class=\"n\">0\\.[0-9]{3}</td></tr>"))) << dom;
  // Subjects as a person reads them: encoded words decoded, Latin-1 converted, the page all UTF-8.
  EXPECT_TRUE(Has(dom, "\xC3\x89" "cole d'\xC3\xA9t\xC3\xA9") && Has(dom, "Fran\xC3\xA7ois") && Has(dom, "Caf\xC3\xA9 noir")) << dom;
  WriteFile(box.folder / "utf8.py", "import sys\nopen(sys.argv[1], 'rb').read().decode('utf-8')\nprint('valid')\n");
  WaitProcess(StartProcess({"python3", box.folder / "utf8.py", box.folder / "report.html"}, {}, box.folder / "utf8.err", "", box.folder / "utf8.txt"));
  EXPECT_EQ(ReadFile(box.folder / "utf8.txt"), "valid\n") << ReadFile(box.folder / "utf8.err");
  EXPECT_TRUE(Has(dom, "<td>example.com</td><td class=\"n\">3</td><td class=\"n\">100.0 %</td>")) << dom;  // the spam's senders
  // The hostile subject is text: shown escaped, nothing of it ran.
  EXPECT_TRUE(Has(dom, "&lt;script&gt;document.title='pwned'&lt;/script&gt;&lt;img src=x onerror="));
  EXPECT_TRUE(Has(dom, "<title>saplugin report, ") && !Has(dom, "<script") && !Has(dom, "<img")) << dom.substr(0, 800);
  // Nothing was asked for on the page's behalf; a page that does load
  // something shows that the check sees it.
  const auto requests = [&](const std::string& page) {
    Chromium(box, {"--log-net-log=" + box.folder / "net.json", "--dump-dom", "file://" + page});
    WaitProcess(StartProcess({"python3", SAPLUGIN_SOURCE_DIR "/tests/e2e/page_requests.py", box.folder / "net.json"}, {}, box.folder / "net.err", "",
                             box.folder / "requests.txt"));
    return ReadFile(box.folder / "requests.txt");
  };
  WriteFile(box.folder / "probe.html", "<img src=\"http://127.0.0.1:9/probe.png\">");
  EXPECT_EQ(requests(box.folder / "probe.html"), "http://127.0.0.1:9/probe.png\n");
  EXPECT_EQ(requests(box.folder / "report.html"), "");
  std::smatch url;
  // Each chart, on its own in the browser, draws its coloured marks.
  const std::string html = ReadFile(box.folder / "report.html");
  int charts = 0;
  for (auto at = html.cbegin(); std::regex_search(at, html.cend(), url, std::regex("<svg class=\"chart\" id=\"([a-z-]+)\"[^>]* width=\"([0-9]+)\" height=\"([0-9]+)\"[\\s\\S]*?</svg>"));
       at = url.suffix().first, ++charts) {
    const std::string name = url[1], svg = box.folder / (name + ".svg"), png = box.folder / (name + ".png");
    WriteFile(svg, url[0].str());
    Chromium(box, {"--window-size=" + url[2].str() + "," + url[3].str(), "--screenshot=" + png, "file://" + svg});
    WaitProcess(StartProcess({"python3", SAPLUGIN_SOURCE_DIR "/tests/e2e/png_ink.py", png}, {}, box.folder / "ink.err", "", box.folder / "ink.txt"));
    EXPECT_GT(std::atof(ReadFile(box.folder / "ink.txt").c_str()), 0.0001) << name << ": " << ReadFile(box.folder / "ink.err");
  }
  EXPECT_EQ(charts, 6);  // messages per day, scores, two of rules, filter time, the trend
}

TEST(KilledRun, MessageIsWholeWhateverMomentSapluginDies) {
  std::mt19937 random(20261207);
  int killed = 0, whole = 1000;  // a whole run's microseconds, measured by the first run
  // Until 100 runs have really been cut short, whatever the machine's load.
  for (int run = 0; killed < 100 && run < 2000; ++run) {
    const int action = run % 4;  // QUARANTINE=0, 1 or 2 for spam; 3 stands for a clean message
    SCOPED_TRACE("run " + std::to_string(run) + ", action " + std::to_string(action));
    Sandbox box;
    const std::string message = (action == 3 ? kHam : kSpam) + std::string(200000, 'z');
    box.Configure(action == 3 ? "" : "QUARANTINE=" + std::to_string(action));
    box.Queue("N.MAI", message);
    const auto start = std::chrono::steady_clock::now();
    const int pid = StartProcess({box.bin + "/saplugin", "N.MAI", "Conn"}, box.environment, box.folder / "stderr.txt");
    if (run > 0) usleep(random() % whole), kill(pid, SIGKILL);
    killed += WaitProcess(pid) == 128 + SIGKILL;
    if (run == 0) whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    const std::string now = ReadFile(box.messages + "/N.MAI");
    bool kept = now == message || (now == FilterOutput(message) && action % 3 == 0) || (now == "<missing>" && action == 2);
    for (const auto& name : FilesIn(box.quarantine + "/Messages")) {
      kept = kept || (now == "<missing>" && action == 1 && ReadFile(box.quarantine + "/Messages/" + name) == message);
    }
    EXPECT_TRUE(kept) << now.substr(0, 200);
    EXPECT_EQ(FilesIn(box.messages).size(), now == "<missing>" ? 0u : 1u);  // nothing half-written beside it
  }
  EXPECT_GE(killed, 100);
}

TEST(EventLog, WithoutAnEventLogFileEntriesGoToSyslog) {
  // A /dev/log of the test's own, in a mount namespace of the run's own. The
  // missing configuration is an error: priority 11 is LOG_USER | LOG_ERR.
  Sandbox box;
  const int log = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{AF_UNIX, {}};
  (box.folder / "log").copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(log, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  box.environment["SAPLUGIN_EVENTLOG"] = "-";
  const std::string mount = "mount -t tmpfs none /dev && touch /dev/log && mount --bind \"$BOX/log\" /dev/log && exec \"$0\"";
  EXPECT_EQ(WaitProcess(StartProcess({"unshare", "-m", "sh", "-c", mount, box.bin + "/saplugin"}, box.environment,
                                     box.folder / "stderr.txt")), 0) << ReadFile(box.folder / "stderr.txt");
  std::string entry(512, '\0');
  entry.resize(std::max<ssize_t>(0, recv(log, &entry[0], entry.size(), MSG_DONTWAIT)));
  close(log);
  EXPECT_TRUE(std::regex_search(entry, std::regex("^<11>.*saplugin\\[[0-9]+\\]: Can't run SpamAssassin because no plugin config "
                                                  "file at path: " + box.bin + "$"))) << entry;
}

TEST(ScanLog, RunsAtOnceWriteWholeLinesUnderOneHeader) {
  Sandbox box;
  box.Configure();
  std::vector<int> runs;
  for (int i = 0; i < 32; ++i) box.Queue("P" + std::to_string(i) + ".MAI", i % 2 ? kSpam : kHam);
  for (int i = 0; i < 32; ++i) runs.push_back(StartProcess({box.bin + "/saplugin", "P" + std::to_string(i) + ".MAI", "Conn"}, box.environment, "/dev/null"));
  for (const int pid : runs) EXPECT_EQ(WaitProcess(pid), 0);
  const std::vector<std::string> log = box.ScanLogLines();
  ASSERT_EQ(log.size(), 33u);
  EXPECT_EQ(log[0], "\xEF\xBB\xBF" + std::string(kScanLogColumns));
  std::set<std::string> whole;
  for (std::size_t i = 1; i < log.size(); ++i) {
    const auto f = ParseCsvLine(log[i]);
    if (f.size() != kScanLogColumnCount) continue;
    if (f[kLogOutcome] == (std::stoi(f[kLogMessage].substr(1)) % 2 ? "quarantined" : "tagged")) whole.insert(f[kLogMessage]);
  }
  EXPECT_EQ(whole.size(), 32u);
  EXPECT_EQ(FilesIn(box.folder / "scan log").size(), 1u);  // no temporary file left
  // It holds senders and subjects: for the owner and the group only.
  struct stat info {};
  ASSERT_EQ(stat((box.folder / "scan log/" + *FilesIn(box.folder / "scan log").begin()).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

// A volume that fills in the middle of a line: the part written is cut off
// again, so that the next run's line, once there is room, is a record of its own.
TEST(ScanLog, LineCutByAFullVolumeNeverMergesWithTheNext) {
  Sandbox box;
  box.MountSmallVolume(box.folder / "scan log", "16k");
  box.Configure();
  const std::string file = box.folder / ("scan log/saplugin-" + ToLocalTime(std::time(nullptr)).date + ".csv");
  // The day's file ends 40 bytes short of a page; a filler takes every other page.
  std::string text = "\xEF\xBB\xBF" + std::string(kScanLogColumns) + "\r\n";
  while (text.size() < 4096 - 40 - 60) text += "T,C,X,1,clean,tagged,,0,5,none,,0.25,,\r\n";
  const std::string last = "T,C,Y,1,clean,tagged,,0,5,none,,0.25,,";
  text += last + std::string(4096 - 40 - text.size() - last.size() - 2, 'p') + "\r\n";
  ASSERT_EQ(text.size(), 4096u - 40);
  WriteFile(file, text);
  const std::string filler = box.folder / "scan log/filler";
  for (int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0600); fd >= 0; fd = -1) {
    const std::string page(4096, 'f');
    while (write(fd, page.data(), page.size()) > 0) {
    }
    close(fd);
  }
  box.Queue("N.MAI", kHam);
  EXPECT_EQ(box.Run().status, 0);
  const std::vector<std::string> events = box.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(Has(events[0], "Could not write the scan log in ") && Has(events[0], "No space left on device")) << events[0];
  EXPECT_EQ(ReadFile(file), text);
  std::filesystem::remove(filler);
  box.Queue("N.MAI", kHam);
  EXPECT_EQ(box.Run().status, 0);
  const std::vector<std::string> lines = box.ScanLogLines();
  EXPECT_EQ(ParseCsvLine(lines.back()).size(), 15u) << lines.back();
  EXPECT_EQ(ParseCsvLine(lines.back())[kLogMessage], "N.MAI");
  EXPECT_EQ(ParseCsvLine(lines[lines.size() - 2])[kLogMessage], "Y");
}

TEST(RealSpamAssassin, QuarantinesSampleSpamAndTagsHam) {
  ASSERT_TRUE(Exists("/usr/bin/spamassassin")) << "scripts/test installs SpamAssassin";
  Sandbox box;
  ASSERT_EQ(std::system((SAPLUGIN_SOURCE_DIR "/scripts/make-sa-rules '" + box.folder / "rules'").c_str()), 0);
  box.Configure("SPAMASSASSINEXE=/usr/bin/spamassassin");
  ExpectSpamQuarantinedAndHamTagged(box, ReadFile("/usr/share/doc/spamassassin/examples/sample-spam.txt"));
  // An mbox "From " line before the header section is kept, and the message is scanned.
  box.Queue("F.MAI", "From s@example.net Mon Jan  1 00:00:00 2024\n" + kSpam);
  EXPECT_EQ(box.Run({"F.MAI", "Conn"}).status, 0);
  EXPECT_EQ(FilesIn(box.quarantine + "/Messages").size(), 6u);
  // saquarantine shows SpamAssassin's own report of a message it quarantined: the table in its wrapped copy.
  const std::string first = *FilesIn(box.quarantine).begin();
  const RunResult show = box.Run({"show", first.substr(0, first.size() - 4)}, "saquarantine");
  EXPECT_EQ(show.status, 0) << show.standard_error;
  EXPECT_TRUE(std::regex_search(show.output, std::regex("SpamAssassin's report:\n  Content analysis details:[^\n]*\n[\\s\\S]*\n  *[0-9.]+ +[A-Z_]+ "))) << show.output;
  // Its score, read from its own folded X-Spam-Status field, against a band: GTUBE's lies between 500 and 5000.
  for (const auto& [band, logged] : {std::pair("500", "spam deleted"), {"5000", "clean kept"}}) {
    box.Configure("SPAMASSASSINEXE=/usr/bin/spamassassin QUARANTINE=2 SPAMSCORE=" + std::string(band));
    box.Queue("S.MAI", kSpam);
    EXPECT_EQ(box.Run({"S.MAI", "Conn"}).status, 0);
    const std::vector<std::string> f = ParseCsvLine(box.ScanLogLines().back());
    EXPECT_EQ(f.at(kLogVerdict) + " " + f.at(kLogOutcome), logged) << band;
  }
}

// Scanning through a real SpamAssassin daemon with spamc, by way of the
// shipped adapter dist/spamc-filter.sh, edited as an operator would: a pool of
// two hosts whose first, 127.0.0.2, is down, so that the adapter fails over.
TEST(spamd, QuarantinesSpamAndTagsHamThroughAPoolWithOneHostDown) {
  Sandbox box;
  const SpamdDaemon daemon(box);
  std::string adapter = ReadFile(SAPLUGIN_SOURCE_DIR "/dist/spamc-filter.sh"), hosts = "HOSTS=127.0.0.1\nSPAMD_PORT=783";
  WriteFile(box.folder / "spamc.sh", adapter.replace(adapter.find(hosts), hosts.size(), "HOSTS=127.0.0.2,127.0.0.1\nSPAMD_PORT=" + daemon.port));
  chmod((box.folder / "spamc.sh").c_str(), 0755);
  box.Configure("SPAMASSASSINEXE={box}/spamc.sh");
  ExpectSpamQuarantinedAndHamTagged(box, kSpam);
}

// SPAMDHOSTS: a pool of two real daemons and one host that is down; each run
// starts at a host of its own, so both daemons scan messages.
TEST(spamd, PoolOfDaemonsSharesTheMessagesAndPassesOverAHostThatIsDown) {
  Sandbox box;
  const SpamdDaemon first(box, "first"), second(box, "second");
  const std::string down = "127.0.0.1:" + std::to_string(FreePort());
  box.Configure("SPAMDHOSTS=" + down + ",127.0.0.1:" + first.port + ",localhost:" + second.port + " SPAMASSASSINEXE=C:\\none");
  ExpectSpamQuarantinedAndHamTagged(box, kSpam);
  // spamd logs a scan only after its answer: the daemons' counts are read once they reach the scan log's.
  const auto settled = [&] {
    int named = 0;
    for (const std::string& line : box.ScanLogLines()) {
      const std::string host = ParseCsvLine(line).at(kLogHost);
      named += host == "127.0.0.1:" + first.port || host == "localhost:" + second.port;
    }
    for (int waited = 0; first.Scans() + second.Scans() < named && waited < 200; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  settled();
  const int first_before = first.Scans(), second_before = second.Scans();
  for (int i = 0; i < 20; ++i) box.Queue("M" + std::to_string(i) + ".MAI", i % 2 ? kSpam : kHam);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(box.Run({"M" + std::to_string(i) + ".MAI", "Conn"}).status, 0);
  // The host that is down is named once, by the first run that met it.
  const std::vector<std::string> events = box.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(Has(events[0], "failed, and the next runs ask it only after the other hosts for 30 seconds (SPAMDRETRYAFTER): Could not connect"));
  EXPECT_EQ(FilesIn(box.quarantine + "/Messages").size(), 33u);
  settled();
  for (const SpamdDaemon* daemon : {&first, &second}) EXPECT_GE(daemon->Scans(), 3) << daemon->port;
  // The scan log names the host that scanned each of the 20 messages, as SPAMDHOSTS names it.
  std::map<std::string, int> scanned;
  const std::vector<std::string> lines = box.ScanLogLines();
  ASSERT_GE(lines.size(), 21u);
  for (std::size_t i = lines.size() - 20; i < lines.size(); ++i) ++scanned[ParseCsvLine(lines[i]).at(kLogHost)];
  EXPECT_EQ(scanned, (std::map<std::string, int>{{"127.0.0.1:" + first.port, first.Scans() - first_before},
                                                 {"localhost:" + second.port, second.Scans() - second_before}}));
  // Ham that only its score makes spam, tagged: the copy of spamd's answer says it is spam.
  WriteFile(box.bin + "/spamassassinconfig.ini", ReadFile(box.bin + "/spamassassinconfig.ini") + "[Connector Conn]\r\nSPAMSCORE=-100\r\nQUARANTINE=0\r\n");
  box.Queue("S.MAI", kHam);
  EXPECT_EQ(box.Run({"S.MAI", "Conn"}).status, 0);
  const std::string tagged = ReadFile(box.messages + "/S.MAI");
  EXPECT_TRUE(tagged.rfind("X-Spam-Flag: YES\r\n", 0) == 0 && Has(tagged, "X-Spam-Status: No")) << tagged;
}

// sacheck asks every host of the pool on its own: PING, then GTUBE, which must come back Spam: True, all
// within SPAMDTIMEOUT (the unit suite's daemons in memory answer each way a host can fail). Each row: the
// pool ("spamd": a real daemon, "spamd@localhost": the same by name, "trickle": a daemon that sends every
// answer a byte every 4 s, else a daemon's answer to PROCESS), the
// settings, sacheck's status, lines of its report ({N}: host N's port; "!": a text that must not be there),
// and the seconds it may take at most (3 times its bound: one SPAMDTIMEOUT per host and per trial scan).
TEST(spamd, SacheckAsksEveryHostOfThePoolToScanGtube) {
  const struct {
    std::vector<std::string> pool;
    std::string settings;
    int status;
    std::string lines;
    int seconds;
  } rows[] = {
      {{"spamd", "spamd@localhost"}, "SCANTIMELIMIT=120 SPAMDTIMEOUT=60", 0,
       "OK       spamd 127.0.0.1:{0}  PONG in \nOK       spamd localhost:{1}  PONG in \ns: Spam: True ; \n!spamd pool", 0},
      // Not the 72 s its PONG takes, nor the minutes of a fresh timeout per read.
      {{"trickle"}, "SPAMDTIMEOUT=3", 1, "FAIL     spamd 127.0.0.1:{0}  did not answer PING within 3 seconds (SPAMDTIMEOUT)", 27},
  };
  for (const auto& row : rows) {
    Sandbox box;
    std::unique_ptr<SpamdDaemon> real;
    std::vector<std::unique_ptr<FakeSpamd>> fakes;
    std::vector<std::string> ports, hosts;
    for (const std::string& host : row.pool) {
      if (host.rfind("spamd", 0) == 0) {
        if (!real) real = std::make_unique<SpamdDaemon>(box);
        ports.push_back(real->port);
      } else {
        fakes.push_back(host == "trickle" ? std::make_unique<FakeSpamd>(kSpam, "trickle") : std::make_unique<FakeSpamd>(host));
        ports.push_back(std::to_string(fakes.back()->port));
      }
      hosts.push_back((host == "spamd@localhost" ? "localhost:" : "127.0.0.1:") + ports.back());
    }
    std::string pool;
    for (const std::string& host : hosts) pool += (pool.empty() ? "" : ",") + host;
    box.Configure("SPAMDHOSTS=" + pool + " " + row.settings);
    const auto start = std::chrono::steady_clock::now();
    const RunResult check = box.Run({}, "sacheck");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(check.status, row.status) << check.output;
    std::map<std::string, std::string> marks;
    for (std::size_t i = 0; i < ports.size(); ++i) marks["{" + std::to_string(i) + "}"] = ports[i];
    ExpectLines(check.output, row.lines, marks);
    EXPECT_TRUE(row.seconds == 0 || took < std::chrono::seconds(row.seconds)) << row.lines;
    // Nothing that the runs share: no host's record, no entry.
    EXPECT_EQ(FilesIn(box.temp), std::set<std::string>{});
    EXPECT_EQ(box.Events(), std::vector<std::string>{});
  }
}

// spamd's answers over a real socket, where the time and the connection are
// the question (the unit suite holds what each answer means): a host that
// never answers or never reads, one that answers early and closes while the
// message is still being sent, and one that keeps the connection open after
// a whole answer, which is whole all the same.
TEST(Pool, AHostOutOfTimeOrClosingEarlyLeavesTheMessageAndAnAnswerHeldOpenIsWhole) {
  const std::string whole = "X-Spam-Status: No, score=0.1\r\n" + kHam + std::string(300000, 'w');
  const std::tuple<std::string, std::string, int, std::string> cases[] = {
      // SCANTIMELIMIT below SPAMDTIMEOUT: the time it waited on the host, which it records all the same.
      {"never", " SCANTIMELIMIT=1", 4, "SpamAssassin did not finish within 1 second; the message was left unscanned: 127.0.0.1:{port} did not answer within 1."},
      {"never", " SPAMDTIMEOUT=1", 3, "127.0.0.1:{port} did not answer within 1 second (SPAMDTIMEOUT)"},
      {"stall", " SPAMDTIMEOUT=1", 3, "127.0.0.1:{port} did not take the message within 1 second (SPAMDTIMEOUT)"},
      {"SPAMD/1.5 76 EX_PROTOCOL Bad header line\r\n", " early", 3, "answered \"SPAMD/1.5 76 EX_PROTOCOL Bad header line\""},
      {Answer(whole), " SPAMDTIMEOUT=3 hold", 0, ""}};
  // Large enough that a daemon that reads none of it, or stops reading early, stops the sending.
  const std::string large = kSpam + std::string(20 << 20, 'b');
  for (auto [answer, settings, status, entry] : cases) {
    Sandbox box;
    const FakeSpamd daemon(answer, settings);
    const std::string keys = std::regex_replace(settings, std::regex(" (early|hold)"), "");
    box.Configure("SPAMDHOSTS=127.0.0.1:" + std::to_string(daemon.port) + keys);
    const std::string& kSpam = answer == "stall" || Has(settings, "early") ? large : saplugin::kSpam;
    entry = Expand(entry, {{"{port}", std::to_string(daemon.port)}});
    box.Queue("N.MAI", kSpam);
    EXPECT_EQ(box.Run().status, status) << answer;
    EXPECT_EQ(ReadFile(box.messages + "/N.MAI") + ReadFile(box.inbound + "/N.MAI"), (status ? kSpam : whole) + "pickup of N.MAI\r\n");
    // A host's fault is recorded for the next runs, and nothing else is left.
    EXPECT_EQ(FilesIn(box.temp), std::set<std::string>{"spamd-127.0.0.1-" + std::to_string(daemon.port) + (status >= 3 ? ".down" : ".time")})
        << answer;
    const std::vector<std::string> events = EventsBesideHosts(box);
    EXPECT_TRUE(status ? events.size() == 1 && Has(events[0], entry.c_str()) : events.empty()) << (events.empty() ? "" : events[0]);
  }
}

TEST(Pool, SachecksTrialScansChangeNothingTheRunsShare) { ExpectTrialScansChangeNothingTheRunsShare(LinuxBuild()); }

// Learning from the quarantine through the pool: every host is told (TELL);
// a host counts only when it says it learned the message (DidSet), and one
// whose spamd takes no TELL is named with the option it lacks. The Bayes
// database is the test's own, read with sa-learn.
TEST(spamd, LearnTellsEveryHostAndCountsOnlyTheHostsThatLearned) {
  QuarantineBox box(LinuxBuild());
  ASSERT_EQ(std::system((SAPLUGIN_SOURCE_DIR "/scripts/make-sa-rules '" + box.folder / "rules'").c_str()), 0);
  std::filesystem::create_directories(box.folder / "bayes");
  chmod((box.folder / "bayes").c_str(), 0777);  // the daemon's children may run as nobody
  WriteFile(box.folder / "rules/98_bayes.cf", "use_bayes 1\nbayes_path " + box.folder / "bayes/bayes" + "\nbayes_file_mode 0666\n");
  const SpamdDaemon teach(box, "teach", {"--allow-tell"}), plain(box, "plain");
  box.Configure("SPAMDHOSTS=127.0.0.1:" + teach.port);
  const struct {
    std::vector<std::string> words;
    int status;
    std::string output, counts;
  } steps[] = {
      {{"learn", "spam", "{A}", "{B}"}, 0, "{A}: spam: learned by 127.0.0.1:" + teach.port, "2 spam, 0 ham"},
      {{"learn", "spam", "{A}"}, 6, "learned nothing (its answer carries no DidSet", "2 spam, 0 ham"},
      {{"release", "--learn", "{C}"}, 0, "{C}: ham: learned by 127.0.0.1:" + teach.port, "2 spam, 1 ham"},
  };
  for (const auto& step : steps) {
    const RunResult run = box.Quarantine(step.words);
    EXPECT_EQ(run.status, step.status) << run.output << run.standard_error;
    ExpectLines(run.output + run.standard_error, step.output, box.marks);
    EXPECT_EQ(BayesCounts(box), step.counts);
  }
  EXPECT_EQ(ReadFile(box.messages + "/C.MAI"), box.originals.at("C.MAI"));  // released after it was learned
  // A pool with a daemon that takes no TELL: the other host learns, the run says which did not and why.
  box.Configure("SPAMDHOSTS=127.0.0.1:" + teach.port + ",127.0.0.1:" + plain.port);
  const RunResult run = box.Quarantine({"learn", "ham", "{B}"});
  EXPECT_EQ(run.status, 5);
  EXPECT_TRUE(Has(run.standard_error, ("127.0.0.1:" + plain.port + " does not take TELL: start its spamd with --allow-tell").c_str()))
      << run.standard_error;
  EXPECT_EQ(BayesCounts(box), "1 spam, 2 ham");  // B learned again, as ham
}

// A stalled host whose record is past SPAMDRETRYAFTER, and 16 runs that start
// together: one of them claims the retry and waits on the host, the others
// pass it over. The next 16 leave it out: SPAMDRETRYAFTER counts from when it
// failed, not from when that run started (with SPAMDRETRYAFTER below
// SPAMDTIMEOUT, as the defaults have them, a record dated by the run's start
// would be out of date when written).
TEST(Pool, OfRunsStartedTogetherOneRetriesAStalledHost) {
  Sandbox box;
  const FakeSpamd stalled("stall"), good(Answer(TaggedHam()));
  box.Configure("SPAMDHOSTS=" + stalled.host + "," + good.host + " SPAMDTIMEOUT=6 SPAMDRETRYAFTER=5");
  WriteFile(box.temp + "/spamd-127.0.0.1-" + std::to_string(stalled.port) + ".down",
            "failed=" + std::to_string(std::time(nullptr) - 100) + "\r\nwhat=stalled before\r\n");
  for (int round = 0; round < 2; ++round) {
    std::vector<int> runs;
    for (int i = 0; i < 16; ++i) box.Queue("N" + std::to_string(i) + ".MAI", kHam);
    for (int i = 0; i < 16; ++i) {
      runs.push_back(StartProcess({box.bin + "/saplugin", "N" + std::to_string(i) + ".MAI", box.connector}, box.environment, "/dev/null"));
    }
    for (const int pid : runs) EXPECT_EQ(WaitProcess(pid), 0);
    EXPECT_EQ(stalled.connections, 1) << "round " << round;
  }
  EXPECT_EQ(RunFilesIn(box.temp), std::set<std::string>{});
}

// A failure of this machine's own is no host's: the run stops at its first
// host with one entry naming the cause, and no other host is asked.
TEST(Pool, LocalFailureStopsTheScanWithoutAskingAnotherHost) {
  std::string lines = kHam;  // 527 KB of text lines, more than TEMPPATH holds
  while (lines.size() < 527000) lines += "The quick brown fox jumps over the lazy dog.\r\n";
  const std::string answer = Answer(lines);
  const std::pair<const char*, const char*> cases[] = {
      {"full-temp", "No space left on device"},
      {"unreadable", "Permission denied"}};
  for (const auto& [fault, cause] : cases) {
    Sandbox box;
    const FakeSpamd first(answer), second(answer);
    box.Configure("SPAMDHOSTS=" + first.host + "," + second.host + " SCANLOGPATH=-");
    box.Queue("N.MAI", lines);
    if (std::string(fault) == "full-temp") {
      box.MountSmallVolume(box.temp, "256k");
    } else {
      chmod((box.messages + "/N.MAI").c_str(), 0);
      // Root reads any file: the run goes without the capabilities that let it.
      box.tracer = {"setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
    }
    EXPECT_EQ(box.Run().status, 3) << fault;
    EXPECT_EQ(first.connections + second.connections, std::string(fault) == "full-temp" ? 1 : 0) << fault;
    const std::vector<std::string> events = box.Events();
    ASSERT_EQ(events.size(), 1u) << fault;
    EXPECT_TRUE(Has(events[0], "The message could not be scanned through spamd, and was left unscanned: ") && Has(events[0], cause)) << events[0];
    chmod((box.messages + "/N.MAI").c_str(), 0644);
    EXPECT_EQ(ReadFile(box.messages + "/N.MAI"), lines);
    EXPECT_TRUE(FilesIn(box.temp).empty()) << fault;
  }
}

// localhost is 127.0.0.1, then ::1, within the one connect time: a daemon that
// listens on the IPv6 loopback alone is reached.
TEST(Pool, LocalhostReachesADaemonOnTheIPv6LoopbackAlone) {
  const FakeSpamd daemon(Answer(TaggedHam()), "", "::1");
  if (!daemon.listening) GTEST_SKIP() << "this machine has no IPv6 loopback";
  Sandbox box;
  box.Configure("SPAMDHOSTS=localhost:" + std::to_string(daemon.port) + " SCANLOGPATH=-");
  box.Queue("N.MAI", kHam);
  const RunResult run = box.Run();
  EXPECT_EQ(run.status, 0) << run.standard_error;
  EXPECT_EQ(ReadFile(box.messages + "/N.MAI"), TaggedHam());
  EXPECT_EQ(box.Events(), std::vector<std::string>{});
}

}  // namespace
}  // namespace saplugin
