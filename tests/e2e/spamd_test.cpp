// saplugin scanning through a real SpamAssassin daemon (Debian's spamd) with
// spamc, by way of the shipped adapter dist/spamc-filter.sh. The daemon runs
// once for the whole suite, on 127.0.0.1 at a free port.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "e2e/sandbox.h"
#include "e2e/scenarios.h"


namespace saplugin {
namespace {

const char* const kSampleSpam = "/usr/share/doc/spamassassin/examples/sample-spam.txt";
const char* const kSampleHam = "/usr/share/doc/spamassassin/examples/sample-nonspam.txt";

void StopSpamd(pid_t daemon);

// A port on 127.0.0.1 that nothing listens on at the moment.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Starts spamd on 127.0.0.1 at the port with the rules folder, logging to the
// file; answers its process id once spamc can ping it, or 0.
pid_t StartSpamd(int port, const std::string& rules, const std::string& log) {
  // It logs on standard error.
  const pid_t daemon = StartProcess({"/usr/sbin/spamd", "--listen=127.0.0.1:" + std::to_string(port),
                                     "--configpath=" + rules, "--nouser-config", "--max-children=4",
                                     "--syslog=stderr"},
                                    {}, log);
  const std::string ping = "/usr/bin/spamc -K -d 127.0.0.1 -p " + std::to_string(port) + " >/dev/null 2>&1";
  for (int i = 0; i < 300; ++i) {
    if (std::system(ping.c_str()) == 0) return daemon;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  StopSpamd(daemon);
  return 0;
}

void StopSpamd(pid_t daemon) {
  if (daemon <= 0) return;
  kill(daemon, SIGTERM);
  int status = 0;
  waitpid(daemon, &status, 0);
}

class Spamd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(Exists("/usr/sbin/spamd") && Exists("/usr/bin/spamc"))
        << "spamd and spamc are not installed: scripts/test installs them";
    folder_ = new TempFolder;
    // The daemon may drop to an unprivileged user: its rules must be readable.
    chmod(folder_->Path().c_str(), 0755);
    rules_ = *folder_ / "rules";
    ASSERT_EQ(std::system((std::string(SAPLUGIN_SOURCE_DIR) + "/scripts/make-sa-rules '" + rules_ + "'").c_str()), 0);
    port_ = FreePort();
    daemon_ = StartSpamd(port_, rules_, *folder_ / "spamd.log");
    ASSERT_NE(daemon_, 0) << "spamd did not start; see " << *folder_ / "spamd.log";
  }

  static void TearDownTestSuite() {
    StopSpamd(daemon_);
    delete folder_;
  }

  // A sandbox whose SPAMASSASSINEXE is the shipped adapter, edited to name the
  // daemon's port as an operator would.
  void Configure(Sandbox& box, int port, const std::string& quarantine = "1") {
    std::string adapter = ReadFile(std::string(SAPLUGIN_SOURCE_DIR) + "/dist/spamc-filter.sh");
    const std::string line = "SPAMD_PORT=783";
    adapter.replace(adapter.find(line), line.size(), "SPAMD_PORT=" + std::to_string(port));
    WriteFile(box.Path("spamc-filter.sh"), adapter);
    chmod(box.Path("spamc-filter.sh").c_str(), 0755);
    MakeFolders(box.Path("rules"));
    box.environment["COMSPEC"] = SACMD_EXE;
    box.WriteConfig({{"QUARANTINE", quarantine},
                     {"QUARANTINEPATH", box.Quarantine()},
                     {"SPAMASSASSINEXE", box.Path("spamc-filter.sh")},
                     {"SPAMASSASSINRULESPATH", box.Path("rules")},
                     {"TEMPPATH", box.Temp()}});
  }

  static TempFolder* folder_;
  static std::string rules_;
  static int port_;
  static pid_t daemon_;
};

TempFolder* Spamd::folder_ = nullptr;
std::string Spamd::rules_;
int Spamd::port_ = 0;
pid_t Spamd::daemon_ = 0;

TEST_F(Spamd, GtubeIsQuarantinedAndSampleHamReplacedByItsTaggedCopy) {
  Sandbox box;
  Configure(box, port_);
  const std::string spam = ReadFile(kSampleSpam);
  const std::string ham = ReadFile(kSampleHam);
  box.Queue("SPAM.MAI", spam);
  box.Queue("HAM.MAI", ham);
  EXPECT_EQ(box.Run({"SPAM.MAI", "Conn"}).exit_status, 0);
  EXPECT_EQ(box.Run({"HAM.MAI", "Conn"}).exit_status, 0);
  EXPECT_TRUE(box.Events().empty());
  EXPECT_FALSE(Exists(box.Messages() + "/SPAM.MAI"));
  int quarantined = 0;
  for (const auto& entry : std::filesystem::directory_iterator(box.Quarantine() + "/Messages")) {
    if (entry.path().extension() == ".SA") {
      EXPECT_NE(ReadFile(entry.path().string()).find("\nX-Spam-Flag: YES"), std::string::npos);
      ++quarantined;
    }
  }
  EXPECT_EQ(quarantined, 1);
  const std::string tagged = ReadFile(box.Messages() + "/HAM.MAI");
  EXPECT_NE(tagged.find("X-Spam-Status: No"), std::string::npos);
  EXPECT_NE(tagged.find(ham.substr(ham.size() - 200)), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(box.Temp()));
}

TEST_F(Spamd, DaemonThatIsDownLeavesTheMessageAndSaysSo) {
  // A daemon of this test's own, stopped before the run.
  const int port = FreePort();
  const pid_t daemon = StartSpamd(port, rules_, *folder_ / "stopped-spamd.log");
  ASSERT_NE(daemon, 0);
  StopSpamd(daemon);
  Sandbox box;
  Configure(box, port);
  box.Queue("SPAM.MAI", kSpam);
  EXPECT_EQ(box.Run({"SPAM.MAI", "Conn"}).exit_status, 3);
  EXPECT_EQ(box.Events(),
            std::vector<std::string>{"SpamAssassin didn't return an email. Configuration problem."});
  EXPECT_EQ(ReadFile(box.Messages() + "/SPAM.MAI"), kSpam);
  EXPECT_TRUE(Exists(box.Inbound() + "/SPAM.MAI"));
  EXPECT_TRUE(std::filesystem::is_empty(box.Temp()));
}

TEST_F(Spamd, FourRunsAtOnceThroughOneDaemon) {
  Sandbox box;
  Configure(box, port_);
  const char* names[] = {"A.MAI", "B.MAI", "C.MAI", "D.MAI"};
  for (int i = 0; i < 4; ++i) box.Queue(names[i], i % 2 == 0 ? kSpam : kHam);
  std::vector<std::thread> runs;
  std::vector<int> statuses(4, -1);
  for (int i = 0; i < 4; ++i) {
    runs.emplace_back([&, i] {
      statuses[i] = RunProcess({box.Bin() + "/saplugin", names[i], "Conn"}, box.environment,
                               box.Path(std::string("stderr-") + names[i]));
    });
  }
  for (auto& run : runs) run.join();
  EXPECT_EQ(statuses, std::vector<int>(4, 0));
  EXPECT_TRUE(box.Events().empty());
  EXPECT_FALSE(Exists(box.Messages() + "/A.MAI"));
  EXPECT_FALSE(Exists(box.Messages() + "/C.MAI"));
  EXPECT_NE(ReadFile(box.Messages() + "/B.MAI").find("X-Spam-Status: No"), std::string::npos);
  EXPECT_NE(ReadFile(box.Messages() + "/D.MAI").find("X-Spam-Status: No"), std::string::npos);
  int quarantined = 0;
  for (const auto& entry : std::filesystem::directory_iterator(box.Quarantine() + "/Messages")) {
    quarantined += entry.path().extension() == ".SA";
  }
  EXPECT_EQ(quarantined, 2);
  EXPECT_TRUE(std::filesystem::is_empty(box.Temp()));
}

}  // namespace
}  // namespace saplugin
