// The scenario table against the Linux build (sacmd as the interpreter, the
// stand-in filter), runs killed at random moments, the syslog event log, and
// the real SpamAssassin, alone and through its daemon.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <random>

#include "e2e/e2e.h"
#include "run/scan_log.h"

namespace saplugin {
namespace {

namespace fs = std::filesystem;

class LinuxScenario : public ::testing::TestWithParam<Scenario> {};
TEST_P(LinuxScenario, LeavesTheQueueAndTheEventLogAsExpected) { RunScenario(LinuxBuild(), GetParam()); }
INSTANTIATE_TEST_SUITE_P(Scan, LinuxScenario, ::testing::ValuesIn(Scenarios(kLinux)),
                         [](const auto& info) { return info.param.name; });

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

// Scans a spam and kHam in the box with its configured filter: the spam
// quarantined with the filter's flag in its output, the ham replaced by its
// tagged copy, no entry and nothing left in TEMPPATH.
void ExpectSpamQuarantinedAndHamTagged(Sandbox& box, const std::string& spam) {
  const RunResult check = box.Run({}, "sacheck");  // the set-up passes sacheck first
  EXPECT_EQ(check.status, 0) << check.output;
  box.Queue("N.MAI", spam);
  box.Queue("H.MAI", kHam);
  EXPECT_EQ(box.Run().status + box.Run({"H.MAI", "Conn"}).status, 0);
  EXPECT_EQ(box.Events(), std::vector<std::string>{});
  EXPECT_FALSE(Exists(box.messages + "/N.MAI"));
  for (const auto& entry : fs::directory_iterator(box.quarantine + "/Messages")) {
    const std::string text = ReadFile(entry.path().string());
    EXPECT_TRUE(entry.path().extension() == ".MAI" ? text == spam : text.find("\nX-Spam-Flag: YES") != std::string::npos);
  }
  EXPECT_TRUE(std::regex_search(ReadFile(box.messages + "/H.MAI"), std::regex("X-Spam-Status: No[\\s\\S]*Lunch at: noon\\.")));
  EXPECT_TRUE(fs::is_empty(box.temp));
  // The scan log has the filter's score and the rules that hit, from its folded X-Spam-Status field.
  const std::vector<std::string> log = box.ScanLogLines();
  ASSERT_EQ(log.size(), 3u);
  const auto spam_line = ParseCsvLine(log[1]), ham_line = ParseCsvLine(log[2]);
  EXPECT_EQ(spam_line[4] + " " + spam_line[5] + " " + ham_line[4] + " " + ham_line[5], "spam quarantined clean tagged");
  EXPECT_GE(std::stod(spam_line[7]), std::stod(spam_line[8])) << log[1];
  EXPECT_LT(std::stod(ham_line[7]), std::stod(ham_line[8])) << log[2];
  EXPECT_TRUE(std::regex_match(spam_line[9] + "," + ham_line[9], std::regex("[A-Z0-9_]+(,[A-Z0-9_]+){4,}"))) << log[1] << log[2];
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
    if (f.size() == 14 && f[5] == (std::stoi(f[2].substr(1)) % 2 ? "quarantined" : "tagged")) whole.insert(f[2]);
  }
  EXPECT_EQ(whole.size(), 32u);
  EXPECT_EQ(FilesIn(box.folder / "scan log").size(), 1u);  // no temporary file left
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
  EXPECT_EQ(FilesIn(box.quarantine + "/Messages").size(), 4u);
}

// A port on 127.0.0.1 that nothing listens on at the moment.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Scanning through a real SpamAssassin daemon with spamc, by way of the
// shipped adapter dist/spamc-filter.sh, edited as an operator would: a pool of
// two hosts whose first, 127.0.0.2, is down, so that the adapter fails over.
TEST(spamd, QuarantinesSpamAndTagsHamThroughAPoolWithOneHostDown) {
  ASSERT_TRUE(Exists("/usr/sbin/spamd") && Exists("/usr/bin/spamc")) << "scripts/test installs spamd and spamc";
  Sandbox box;
  chmod(box.folder.path.c_str(), 0755);  // the daemon may read its rules as another user
  ASSERT_EQ(std::system((SAPLUGIN_SOURCE_DIR "/scripts/make-sa-rules '" + box.folder / "rules'").c_str()), 0);
  const std::string port = std::to_string(FreePort());
  struct Daemon {
    int pid;
    ~Daemon() { kill(pid, SIGTERM), WaitProcess(pid); }
  } daemon{StartProcess({"/usr/sbin/spamd", "--listen=127.0.0.1:" + port, "--nouser-config", "--configpath=" + box.folder / "rules",
                         "--max-children=2", "--syslog=stderr"}, {}, box.folder / "spamd.log")};
  const std::string ping = "/usr/bin/spamc -K -d 127.0.0.1 -p " + port + " >/dev/null 2>&1";
  for (int i = 0; i < 300 && std::system(ping.c_str()) != 0; ++i) usleep(100000);
  ASSERT_EQ(std::system(ping.c_str()), 0) << "spamd did not start: " << ReadFile(box.folder / "spamd.log");
  std::string adapter = ReadFile(SAPLUGIN_SOURCE_DIR "/dist/spamc-filter.sh"), hosts = "HOSTS=127.0.0.1\nSPAMD_PORT=783";
  WriteFile(box.folder / "spamc.sh", adapter.replace(adapter.find(hosts), hosts.size(), "HOSTS=127.0.0.2,127.0.0.1\nSPAMD_PORT=" + port));
  chmod((box.folder / "spamc.sh").c_str(), 0755);
  box.Configure("SPAMASSASSINEXE={box}/spamc.sh");
  ExpectSpamQuarantinedAndHamTagged(box, kSpam);
}

}  // namespace
}  // namespace saplugin
