// The Windows build under Wine: the scenario table with Wine's own cmd.exe
// (copied into a folder with a blank), registry and profile reader; and the
// POSIX profile and registry readers held against Windows's.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/personality.h>

#include "e2e/quarantine.h"
#include "e2e/spamd.h"
#include "store/scan_log.h"

namespace saplugin {
namespace {

Build WindowsBuild() {
  return Build{WINDOWS_BUILD "/saplugin.exe", WINDOWS_BUILD "/safilter.exe", true, WINE_DATA, WinePath(WINE_DATA "/my shell/cmd.exe")};
}

// A global set-up whose assertion fails only marks every test skipped, and
// the run passes; so a set-up that cannot be made ends the run instead.
void Require(bool made, const std::string& what) {
  if (made) return;
  std::cerr << what << std::endl;
  std::exit(1);
}

class WineSetUp : public ::testing::Environment {
  void SetUp() override {
    // With address randomization, Debian's Wine (no preloader) now and then
    // dies at start over the shared user data page; see steady in scripts/lib.sh.
    Require(personality(0xffffffff) & ADDR_NO_RANDOMIZE,
            "The Wine tests run without address randomization: setarch $(uname -m) -R ctest -L wine");
    std::filesystem::create_directories(WINE_DATA "/my shell");
    std::filesystem::copy_file(WINE_PREFIX "/drive_c/windows/system32/cmd.exe", WINE_DATA "/my shell/cmd.exe",
                               std::filesystem::copy_options::overwrite_existing);
    Require(WaitProcess(StartProcess({"wine", "reg", "add", "HKLM\\SOFTWARE\\Tarkwell\\Tarkwell", "/v", "Data Directory",
                                      "/d", WinePath(WINE_DATA), "/f"}, {{"WINEDEBUG", "-all"}}, "/dev/null")) == 0,
            "The Wine tests cannot run: wine reg add of the data directory failed");
  }
};
const auto* const kSetUp = ::testing::AddGlobalTestEnvironment(new WineSetUp);

// The standard output of a program (a Windows one under Wine), without
// carriage returns.
std::string Output(const std::vector<std::string>& words, std::map<std::string, std::string> environment = {}) {
  TempFolder folder;
  environment["WINEDEBUG"] = "-all";
  WaitProcess(StartProcess(words, environment, "/dev/null", "", folder / "out"));
  return std::regex_replace(ReadFile(folder / "out"), std::regex("\r"), "");
}

// The answers of differ built for Linux (with the registry file given) and of
// differ built for Windows, run under Wine; a path with "/" reads the same in
// both, Wine taking it for one on the current drive, Z:.
std::pair<std::string, std::string> Differ(std::vector<std::string> query, const std::string& registry = "-") {
  std::vector<std::string> windows = {"wine", WINDOWS_BUILD "/tests/differ.exe"};
  windows.insert(windows.end(), query.begin(), query.end());
  query.insert(query.begin(), DIFFER);
  return {Output(query, {{"SAPLUGIN_REGISTRY", registry}}), Output(windows)};
}

// The POSIX profile reader answers every key of every corpus file as Wine's
// GetPrivateProfileStringA does. Left out, as Wine's own guess: a file holding
// a NUL byte, which Wine takes for UTF-16 text (and so reads no key of it),
// where the POSIX reader stops at the NUL as at the end of a C string.
TEST(WindowsAgreement, ProfileReaderReadsEveryFileAsWindowsDoes) {
  const std::pair<const char*, std::string> files[] = {
      {"quotes", "[S]\r\nA=\"x\"\r\nb='y'\r\nC=\"unclosed\r\nD= \" spaced \" \r\nE=\"\"\r\nF=\"a\"b\"\r\nG='\"\r\nH=\"'m'\"\r\n"},
      {"quotes2", "[S]\r\nQ1=\"  x  \"\r\nQ2=\" x\r\nQ3=x\"\r\nA=\"\r\nb=''\r\n"},
      {"blanks", "  [ S ]  \r\n  A  =  1  \r\nb\t=\t2\t\r\n C=3\r\nD =\r\nE\r\n=F\r\nG==x\r\nH= a b \r\n"},
      {"comments", "; c\r\n[S]\r\n;A=1\r\n A=2 ; no comment\r\n# hash\r\nb=3\r\n[Other] ; after\r\nC=4\r\n"},
      {"duplicates", "[S]\r\nA=1\r\nA=2\r\n[T]\r\nb=t\r\n[S]\r\nb=2\r\nC=3\r\n[s]\r\nD=4\r\n"},
      {"brackets", "[S]\r\nA=1\r\n[T\r\nb=2\r\n[S]x\r\nC=3\r\n[]\r\nD=4\r\n[[S]]\r\nE=5\r\n"},
      {"case", "[s ]\r\na=1\r\n[ S]\r\nB=2\r\n"}, {"nosection", "A=1\r\n[S]\r\nb=2\r\n"}, {"tabs", "\t[S]\r\n\tA\t=\t1\r\n"},
      {"cr", "[S]\rA=1\rb=2\r"}, {"lf", "[S]\nA=1\nb=2\n"}, {"mixed", "[S]\r\nA=1\nb=2\r\r\nC=3\n\r"}, {"empty", ""},
      {"utf8bom", "\xEF\xBB\xBF[S]\r\nA=1\r\n"}, {"utf16", Utf16("[S]\r\nA=1\r\nb=\xE9t\xE9\r\n")},
      {"lengths", "[S]\r\nA=" + std::string(253, 'a') + "\r\nb=" + std::string(254, 'b') + "\r\nC=" + std::string(255, 'c') +
                      "\r\nD=" + std::string(256, 'd') + "\r\nE=\"" + std::string(254, 'e') + "\"\r\nF='" + std::string(253, 'f') +
                      "'\r\nLONG=" + std::string(5000, 'l') + "\r\n"}};
  TempFolder corpus;
  std::vector<std::string> query{"profile", corpus.path};
  for (const auto& [name, text] : files) {
    WriteFile(corpus / name, text);
    query.push_back(name);
  }
  const auto [posix, windows] = Differ(query);
  EXPECT_EQ(std::count(windows.begin(), windows.end(), '\n'), 16 * 4 * 13);  // every file, section and key answered, and the names
  EXPECT_EQ(posix, windows);
}

// The POSIX registry reader reads what "reg export" wrote (UTF-16LE, hex(2)
// data as UTF-16LE) as the Windows build reads the registry itself.
TEST(WindowsAgreement, RegistryReaderReadsWhatRegExportWrote) {
  const std::string key = "SOFTWARE\\SaplDiff";
  const std::vector<std::vector<std::string>> values = {{"Sz", "REG_SZ", "C:\\Data dir\\x"}, {"Exp", "REG_EXPAND_SZ", "%TEMP%\\x"},
      {"Dw", "REG_DWORD", "42"}, {"Neg", "REG_DWORD", "0xffffffd6"}, {"Bin", "REG_BINARY", "433a00"}, {"Empty", "REG_SZ", ""}};
  std::vector<std::string> query{"registry", key};
  for (const auto& value : values) {
    Output({"wine", "reg", "add", "HKLM\\" + key, "/v", value[0], "/t", value[1], "/d", value[2], "/f"});
    query.push_back(value[0]);
  }
  TempFolder folder;
  Output({"wine", "reg", "export", "HKLM\\" + key, WinePath(folder / "export.reg"), "/y"});
  ASSERT_EQ(ReadFile(folder / "export.reg").compare(0, 4, "\xFF\xFEW\0", 4), 0) << "not what reg export writes";
  const auto [posix, windows] = Differ(query, folder / "export.reg");
  EXPECT_NE(windows.find("Sz: C:\\x5CData dir\\x5Cx\nExp: %TEMP%\\x5Cx\nDw: 42\nNeg: -42\n"), std::string::npos) << windows;
  EXPECT_EQ(posix, windows);
}

// The Windows build scans through a real spamd on the Linux loopback (SPAMDHOSTS,
// Winsock): a host down by its address, then the daemon by name.
TEST(WindowsSpamd, QuarantinesSpamAndTagsHamThroughARealDaemon) {
  Sandbox box(WindowsBuild());
  const SpamdDaemon daemon(box);
  box.Configure("SPAMDHOSTS=127.0.0.1:" + std::to_string(FreePort()) + ",localhost:" + daemon.port + " SPAMASSASSINEXE=-");
  ExpectSpamQuarantinedAndHamTagged(box, kSpam);
  EXPECT_EQ(daemon.Scans(), 5);  // sacheck's GTUBE to the host, its two trial scans and the two messages
}

// A name's lookup and all its addresses share one connect time. The name has
// two addresses, in a hosts file of this test's own mount namespace (Wine looks
// names up through the system's resolver in its own process): a first one that
// refuses, and a daemon's on the second is reached; a first one that takes no
// call (its listener's queue is full, so the system drops the call) uses the
// time up, and the second is never tried.
TEST(WindowsSpamd, NamesAddressesShareOneConnectTime) {
  ASSERT_EQ(unshare(CLONE_NEWNS) + mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  TempFolder hosts;
  WriteFile(hosts / "hosts", "127.0.0.2 pool.test\n127.0.0.3 pool.test\n");
  ASSERT_EQ(mount((hosts / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
  const FakeSpamd daemon(Answer(TaggedHam()), "", "127.0.0.3");
  Sandbox box(WindowsBuild());
  box.Configure("SPAMDHOSTS=pool.test:" + std::to_string(daemon.port) + " SPAMASSASSINEXE=- SCANLOGPATH=-");
  box.Queue("N.MAI", kHam);
  EXPECT_EQ(box.Run().status, 0);  // nothing on the first address yet
  EXPECT_EQ(ReadFile(box.messages + "/N.MAI"), TaggedHam());
  EXPECT_EQ(daemon.connections, 1);
  const FakeSpamd silent("never", "no-queue", "127.0.0.2", daemon.port);
  const int queued = socket(AF_INET, SOCK_STREAM, 0);  // the one call the queue holds
  sockaddr_in first{AF_INET, htons(static_cast<std::uint16_t>(daemon.port)), {inet_addr("127.0.0.2")}, {}};
  EXPECT_EQ(connect(queued, reinterpret_cast<sockaddr*>(&first), sizeof first), 0);
  box.Queue("N.MAI", kHam);
  EXPECT_EQ(box.Run().status, 3);
  EXPECT_EQ(ReadFile(box.messages + "/N.MAI"), kHam);
  EXPECT_EQ(daemon.connections, 1);
  const std::vector<std::string> events = EventsBesideHosts(box);
  EXPECT_TRUE(events.size() == 1 && Has(events[0], ("Could not connect to pool.test:" + std::to_string(daemon.port)).c_str()))
      << (events.empty() ? "" : events[0]);
  close(queued);
}

// The Windows build keeps the records of the pool's hosts as the Linux build
// does: the stalled host goes first by its record of fast answers (the good
// host's says slow), one run records it as failed, the next ones leave it out,
// and the good host's record of its answer time, renewed by the next answer
// as it is over a minute old, has the first answer folded in. Each row: the
// settings, the first run's status, the connections (the stalled host's and
// ten times the good one's) and what the record says of the stalled host.
TEST(WindowsSpamd, TheRunsRecordAStalledHostAndEachHostsAnswerTime) {
  const std::tuple<std::string, int, int, std::string> rows[] = {
      {"SPAMDTIMEOUT=2", 0, 31, "did not answer within 2 seconds \\(SPAMDTIMEOUT\\)"},
      // SCANTIMELIMIT below SPAMDTIMEOUT: the run that it ends records the host all the same, and its entry names it.
      {"SCANTIMELIMIT=1", 4, 21, "did not answer within 1\\.\\d seconds, when SCANTIMELIMIT \\(1 s\\) ran out"}};
  for (const auto& [settings, first, connections, what] : rows) {
    Sandbox box(WindowsBuild());
    const std::string whole = TaggedHam();
    const FakeSpamd stalled("stall"), good(Answer(whole));
    box.Configure("SPAMDHOSTS=" + stalled.host + "," + good.host + " SPAMASSASSINEXE=- " + settings);
    const std::string stalled_records = box.temp + "/spamd-127.0.0.1-" + std::to_string(stalled.port);
    const std::string good_time = box.temp + "/spamd-127.0.0.1-" + std::to_string(good.port) + ".time";
    const std::int64_t now = std::time(nullptr);
    WriteFile(stalled_records + ".time", "measured=" + std::to_string(now) + "\r\nmilliseconds=0\r\n");
    WriteFile(good_time, "measured=" + std::to_string(now - 100) + "\r\nmilliseconds=100000\r\n");
    for (int i = 0; i < 3; ++i) {
      box.Queue("N.MAI", kHam);
      EXPECT_EQ(box.Run().status, i == 0 ? first : 0) << settings;
      EXPECT_EQ(ReadFile(box.messages + "/N.MAI"), i == 0 && first ? kHam : whole);
    }
    EXPECT_EQ(stalled.connections + 10 * good.connections, connections) << settings;
    const std::vector<std::string> events = box.Events();
    EXPECT_TRUE(events.size() == 1 && Has(events[0], ("127.0.0.1:" + std::to_string(stalled.port) + " did not answer").c_str()))
        << settings << ": " << events.size();  // the stalled host named once
    EXPECT_TRUE(std::regex_match(ReadFile(stalled_records + ".down"), std::regex("failed=\\d+\r\nwhat=127\\.0\\.0\\.1:\\d+ " + what + "\r\n")))
        << ReadFile(stalled_records + ".down");
    // 100000 ms folded half of the way to a few ms: once, and by one run in four again.
    std::smatch figure;
    const std::string time = ReadFile(good_time);
    EXPECT_TRUE(std::regex_match(time, figure, std::regex("measured=(\\d+)\r\nmilliseconds=(\\d+)\r\n")) && std::stoll(figure[1]) >= now &&
                std::stoi(figure[2]) >= 12500 && std::stoi(figure[2]) <= 50500)
        << time;
    EXPECT_EQ(RunFilesIn(box.temp), std::set<std::string>{});
  }
}

TEST(WindowsSpamd, SachecksTrialScansChangeNothingTheRunsShare) { ExpectTrialScansChangeNothingTheRunsShare(WindowsBuild()); }

// A reader that holds the day's log without sharing it for writing, as Excel
// does, costs no line: it goes to the day's next file.
// Through Winsock, and the site key made with its owner-only access list.
TEST(WindowsDigest, EachLocalRecipientGetsTheirsWhateverTheServerDoesWithTheOthers) { ExpectDigestsReachTheirRecipients(WindowsBuild()); }

TEST(WindowsScanLog, DayFileHeldByAReaderSendsTheLineToTheNextFile) {
  Sandbox box(WindowsBuild());
  box.Configure();
  box.Queue("N.MAI", kHam);
  ASSERT_EQ(box.Run().status, 0);
  const std::string day = *FilesIn(box.folder / "scan log").begin();
  const int holder = StartProcess({"wine", WINDOWS_BUILD "/tests/differ.exe", "hold", WinePath(box.folder / "scan log/" + day), "60"},
                                  {{"WINEDEBUG", "-all"}}, "/dev/null", "", box.folder / "held.txt");
  for (int i = 0; i < 300 && !Has(ReadFile(box.folder / "held.txt"), "held"); ++i) usleep(100000);
  ASSERT_EQ(ReadFile(box.folder / "held.txt"), "held\r\n");
  box.Queue("N.MAI", kSpam);
  EXPECT_EQ(box.Run().status, 0);
  kill(holder, SIGKILL);
  WaitProcess(holder);
  EXPECT_EQ(box.Events(), std::vector<std::string>{});
  const std::string second = day.substr(0, day.size() - 4) + "-2.csv";
  EXPECT_EQ(FilesIn(box.folder / "scan log"), (std::set<std::string>{day, second}));
  const std::string first_text = ReadFile(box.folder / "scan log/" + day), second_text = ReadFile(box.folder / "scan log/" + second);
  EXPECT_EQ(std::count(first_text.begin(), first_text.end(), '\n') * 10 + std::count(second_text.begin(), second_text.end(), '\n'), 22);
  EXPECT_EQ(ParseCsvLine(second_text.substr(second_text.find('\n') + 1))[kLogOutcome], "quarantined");
}

// sareport.exe under Wine makes the same page as the Linux build from the
// same scan logs and quarantine, but for the line that says when and from
// which folders it was made and the path of a skipped line's file.
TEST(WindowsReport, TheSamePageAsTheLinuxBuildFromTheSameLogs) {
  Sandbox box;  // the Linux build's runs write the logs and fill the quarantine
  box.Configure("MAXMESSAGESIZE=500");
  const std::pair<const char*, std::string> messages[] = {
      {"A.MAI", kSpam}, {"B.MAI", kHam}, {"C.MAI", "Subject: <b>bold</b> & \xE9\r\n\r\n" + std::string(600, 'x')}, {"D.MAI", kSpam}};
  for (const auto& [name, message] : messages) {
    box.Queue(name, message);
    ASSERT_EQ(box.Run({name, box.connector}).status, 0);
  }
  const std::string today = ToLocalTime(std::time(nullptr)).date;
  WriteFile(box.folder / "windows.ini", "[SPAMASSASSIN Plugin Config]\r\nQUARANTINEPATH=" + WinePath(box.quarantine) + "\r\nSCANLOGPATH=" +
                                            WinePath(box.folder / "scan log") + "\r\n");
  // Logs whose figures fall on halves, which C libraries round apart: filter
  // times under 5 ms make an axis of 0.005 s in quarters (0.00375), and the like.
  std::filesystem::create_directories(box.folder / "halves");
  std::string lines = "\xEF\xBB\xBF" + std::string(kScanLogColumns) + "\r\n";
  for (const char* seconds : {"0.0010", "0.0035", "0.0037", "0.0041", "0.0045", "0.0012", "0.0025", "0.0030"}) {
    lines += today + "T10:00:00+00:00,Conn,X.MAI,100,clean,tagged,,4.25,5.0,COMMON,," + seconds + ",a@b,Half\r\n";
  }
  WriteFile(box.folder / ("halves/saplugin-" + today + ".csv"), lines);
  // A day's lines from a zone other than the reader's, each hour of it; a subject with a line end inside its quotes,
  // as a spreadsheet saves it; a last line cut short.
  std::filesystem::create_directories(box.folder / "zone");
  lines = "\xEF\xBB\xBF" + std::string(kScanLogColumns) + "\r\n";
  for (int hour = 0; hour < 24; ++hour) lines += today + "T" + (hour < 10 ? "0" : "") + std::to_string(hour) + ":30:00+09:00,Conn,Z.MAI,100,clean,tagged,,1.0,5.0,,,0.100,a@b,s,\r\n";
  lines += today + "T12:00:00+09:00,Conn,Q.MAI,100,clean,tagged,,1.0,5.0,,,0.100,a@b,\"two\r\nlines\",\r\n" + today + "T13:00:00+09:00,Conn,C";
  WriteFile(box.folder / ("zone/saplugin-" + today + ".csv"), lines);
  // Each case: the words of the Linux build's run, those of the Windows build's, and a part its page must hold.
  const std::vector<std::string> cases[][3] = {
      {{}, {"--config", WinePath(box.folder / "windows.ini")}, {"data-figure=\"quarantine-messages\">2<"}},
      {{"--logs", box.folder / "halves", "--no-quarantine"}, {"--logs", WinePath(box.folder / "halves"), "--no-quarantine"}, {">0.00375 s<"}},
      {{"--logs", box.folder / "zone", "--no-quarantine"}, {"--logs", WinePath(box.folder / "zone"), "--no-quarantine"},
       {"<title>00+09:00: 1 tagged", "data-figure=\"messages\">25<", "1 line skipped: a line cut short"}}};
  for (const auto& [linux_words, windows_words, holds] : cases) {
    std::vector<std::string> linux_run = linux_words, windows_run = {"wine", WINDOWS_BUILD "/sareport.exe"};
    windows_run.insert(windows_run.end(), windows_words.begin(), windows_words.end());
    for (const std::string& word : {std::string("--day"), today, std::string("--out")}) linux_run.push_back(word), windows_run.push_back(word);
    linux_run.push_back(box.folder / "linux.html");
    windows_run.push_back(WinePath(box.folder / "windows.html"));
    ASSERT_EQ(box.Run(linux_run, "sareport").status, 0);
    EXPECT_TRUE(Has(Output(windows_run), "Report: "));
    const auto page = [&](const std::string& file) {
      // The file named as the first of the lines skipped is each build's own path.
      return std::regex_replace(std::regex_replace(ReadFile(box.folder / file), std::regex("<p class=\"muted volatile\">[^\n]*</p>"), ""),
                                std::regex(" \\(the first: [^)]*\\)"), "");
    };
    const std::string windows = page("windows.html"), linux = page("linux.html");
    for (const std::string& part : holds) EXPECT_TRUE(Has(linux, part.c_str())) << part;
    const auto differs = std::mismatch(windows.begin(), windows.end(), linux.begin(), linux.end());
    EXPECT_TRUE(windows == linux) << "from byte " << differs.first - windows.begin() << ": " << windows.substr(differs.first - windows.begin(), 200)
                                  << "\nbeside: " << linux.substr(differs.second - linux.begin(), 200);
  }
}

class WineQuarantine : public ::testing::TestWithParam<QuarantineCase> {};
TEST_P(WineQuarantine, SaquarantineDoesItsWork) { RunQuarantineCase(WindowsBuild(), GetParam()); }
INSTANTIATE_TEST_SUITE_P(Quarantine, WineQuarantine, ::testing::ValuesIn(QuarantineCases(kWine)),
                         [](const auto& info) { return info.param.name; });

class WineScenario : public ::testing::TestWithParam<Scenario> {};
TEST_P(WineScenario, LeavesTheQueueAndTheEventLogAsExpected) { RunScenario(WindowsBuild(), GetParam()); }
INSTANTIATE_TEST_SUITE_P(Scan, WineScenario, ::testing::ValuesIn(Scenarios(kWine)),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace saplugin
