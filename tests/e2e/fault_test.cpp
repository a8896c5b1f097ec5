// Faults around a run, on the Linux build: whatever happens, the message is
// afterwards exactly as received, a complete tagged copy, complete in the
// quarantine folder, or deleted where QUARANTINE=2 asks for it; nothing is
// left half-written in the queue; the event log says what happened.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <filesystem>
#include <random>
#include <thread>

#include "e2e/scenario_runner.h"

namespace saplugin {
namespace {

namespace fs = std::filesystem;

const char* const kNoEmail = "SpamAssassin didn't return an email. Configuration problem.";
const std::string kTrap = "Could not process pickup event for Connector: ";

// Where the message may be after a run with the given QUARANTINE value.
struct Allowed {
  bool original = true;
  bool tagged = false;
  bool quarantined = false;
  bool deleted = false;
};

// Checks the message's state against what is allowed; describes what it found.
void ExpectWhole(const Sandbox& box, const std::string& name, const std::string& original, const Allowed& allowed) {
  const std::string message = box.Messages() + "/" + name;
  for (const auto& entry : fs::directory_iterator(box.Messages())) {
    EXPECT_EQ(entry.path().filename().string(), name) << "left in the queue";
  }
  if (Exists(message)) {
    const std::string content = ReadFile(message);
    if (content == original) {
      EXPECT_TRUE(allowed.original) << "message left as received";
    } else {
      EXPECT_TRUE(allowed.tagged && IsTaggedCopyOf(content, original)) << "message half-written: " << content;
    }
    return;
  }
  bool in_quarantine = false;
  if (Exists(box.Quarantine() + "/Messages")) {
    for (const auto& entry : fs::directory_iterator(box.Quarantine() + "/Messages")) {
      if (entry.path().extension() == ".MAI" && ReadFile(entry.path().string()) == original) in_quarantine = true;
    }
  }
  if (in_quarantine) {
    EXPECT_TRUE(allowed.quarantined) << "message quarantined";
  } else {
    EXPECT_TRUE(allowed.deleted) << "message gone";
  }
}

// A sandbox with sacmd as the interpreter and an empty rules folder.
std::unique_ptr<Sandbox> NewSandbox() {
  auto box = std::make_unique<Sandbox>();
  box->environment["COMSPEC"] = SACMD_EXE;
  MakeFolders(box->Path("rules"));
  return box;
}

void Configure(Sandbox& box, const std::string& quarantine, const std::string& filter = SAFILTER_EXE,
               const std::string& rules = "") {
  box.WriteConfig({{"QUARANTINE", quarantine},
                   {"QUARANTINEPATH", box.Quarantine()},
                   {"SPAMASSASSINEXE", filter},
                   {"SPAMASSASSINRULESPATH", rules.empty() ? box.Path("rules") : rules},
                   {"TEMPPATH", box.Temp()}});
}

// A filter script that runs the given shell lines, then the stand-in filter.
std::string FilterScript(Sandbox& box, const std::string& lines) {
  const std::string path = box.Path("filter.sh");
  WriteFile(path, "#!/bin/sh\n" + lines + "\nexec '" + SAFILTER_EXE + "' \"$@\"\n");
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

class FaultTest : public ::testing::Test {
 protected:
  std::unique_ptr<Sandbox> sandbox = NewSandbox();
  Sandbox& box = *sandbox;
};

// The missing filter, empty output and output without a header section are
// cases of the scenario table; these are the faults that only this suite makes.
TEST_F(FaultTest, FilterFailuresLeaveTheMessageAsReceived) {
  const std::string big_spam = kSpam + std::string(64 * 1024, 'x') + "\r\n";
  struct Case {
    const char* name;
    std::string faults;
    std::string script;  // shell lines before the filter, or empty
  } cases[] = {
      {"no output and a failure status", "no-output\nexit 1\n", ""},
      {"killed halfway through its output", "abort-after 20000\n", ""},
      {"output cut by a file-size limit", "", "ulimit -f 8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto fresh = NewSandbox();
    Sandbox& box = *fresh;
    WriteFile(box.Path("faults.txt"), c.faults);
    Configure(box, "0", c.script.empty() ? SAFILTER_EXE : FilterScript(box, c.script), box.Path("faults.txt"));
    box.Queue("N.MAI", big_spam);
    EXPECT_EQ(box.Run({"N.MAI", "Conn"}).exit_status, 3);
    EXPECT_EQ(box.Events(), std::vector<std::string>{kNoEmail});
    ExpectWhole(box, "N.MAI", big_spam, Allowed{});
    EXPECT_TRUE(fs::is_empty(box.Temp()));
  }
}

TEST_F(FaultTest, UnusableTempPathEndsInTheTrapBeforeTheFilterRuns) {
  WriteFile(box.Path("a-file"), "");
  for (const std::string& temp : {box.Path("missing"), box.Path("a-file"), std::string("/proc/saplugin")}) {
    SCOPED_TRACE(temp);
    box.WriteConfig({{"QUARANTINE", "2"},
                     {"QUARANTINEPATH", box.Quarantine()},
                     {"SPAMASSASSINEXE", SAFILTER_EXE},
                     {"SPAMASSASSINRULESPATH", box.Path("rules")},
                     {"TEMPPATH", temp}});
    box.Queue("N.MAI", kSpam);
    EXPECT_EQ(box.Run({"N.MAI", "Conn"}).exit_status, 1);
    ExpectWhole(box, "N.MAI", kSpam, Allowed{});
  }
  const auto events = box.Events();
  ASSERT_EQ(events.size(), 3u);
  for (const auto& event : events) EXPECT_EQ(event.rfind(kTrap + "Could not open", 0), 0u) << event;
}

TEST_F(FaultTest, QuarantineFoldersRemovedAfterLoadingKeepTheMessageInTheQueue) {
  for (const std::string& removed : {box.Quarantine() + "/Messages", box.Quarantine()}) {
    SCOPED_TRACE(removed);
    Configure(box, "1", FilterScript(box, "rm -rf '" + removed + "'"));
    box.Queue("N.MAI", kSpam);
    EXPECT_EQ(box.Run({"N.MAI", "Conn"}).exit_status, 1);
    ExpectWhole(box, "N.MAI", kSpam, Allowed{});
    EXPECT_TRUE(Exists(box.Inbound() + "/N.MAI"));
    MakeFolders(box.Quarantine());
  }
  EXPECT_EQ(box.Events().size(), 2u);
}

TEST_F(FaultTest, ReadOnlyQueueFilesWithEveryQuarantineValue) {
  for (const char* quarantine : {"0", "1", "2", "3"}) {
    for (const char* read_only : {"pickup", "message"}) {
      SCOPED_TRACE(std::string("QUARANTINE=") + quarantine + ", read-only " + read_only);
      auto fresh = NewSandbox();
      Sandbox& box = *fresh;
      Configure(box, quarantine);
      box.Queue("N.MAI", kSpam);
      const bool pickup = std::string(read_only) == "pickup";
      SetReadOnly(pickup ? box.Inbound() + "/N.MAI" : box.Messages() + "/N.MAI", true);
      const RunResult run = box.Run({"N.MAI", "Conn"});
      const std::string q = quarantine;
      // A read-only message is never replaced or deleted; a read-only pickup
      // file stops the action at its deletion.
      const bool fails = q == "1" || q == "2" || (q == "0" && !pickup);
      EXPECT_EQ(run.exit_status, fails ? 1 : 0);
      EXPECT_EQ(box.Events().size(), fails ? 1u : 0u);
      Allowed allowed;
      allowed.tagged = q == "0";
      ExpectWhole(box, "N.MAI", kSpam, allowed);
      if (q == "1") {
        // The quarantine copy is complete although the message stays queued.
        EXPECT_EQ(fs::is_empty(box.Quarantine() + "/Messages"), false);
      }
    }
  }
}

// Runs saplugin and kills it with SIGKILL after the delay, unless it ended
// first; answers whether it was killed.
bool RunAndKill(const Sandbox& box, std::chrono::microseconds delay) {
  const pid_t pid = StartProcess({box.Bin() + "/saplugin", "N.MAI", "Conn"}, box.environment,
                                 box.Path("stderr.txt"));
  const auto deadline = std::chrono::steady_clock::now() + delay;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

TEST(KilledRun, MessageIsAlwaysWholeWhateverMomentSapluginDies) {
  // Kill moments spread over the length of a whole run on this machine.
  std::chrono::microseconds whole{0};
  {
    auto box = NewSandbox();
    Configure(*box, "1");
    for (int i = 0; i < 3; ++i) {
      box->Queue("N.MAI", kSpam);
      const auto start = std::chrono::steady_clock::now();
      RunAndKill(*box, std::chrono::seconds(5));
      whole = std::max(whole, std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::steady_clock::now() - start));
    }
  }
  std::mt19937 random(20261206);
  std::uniform_int_distribution<long> delay_us(0, whole.count());
  const char* settings[] = {"0", "1", "2", "unflagged"};
  // Until 100 runs have really been cut short (a run that ends before its
  // moment counts for nothing), whatever the machine's load.
  int killed = 0;
  for (int run = 0; killed < 100 && run < 1000; ++run) {
    const std::string setting = settings[run % 4];
    SCOPED_TRACE("run " + std::to_string(run) + ", " + setting);
    auto fresh = NewSandbox();
    Sandbox& box = *fresh;
    const bool flagged = setting != "unflagged";
    const std::string message = (flagged ? kSpam : kHam) + std::string(200000, 'z') + "\r\n";
    box.WriteConfig({{"QUARANTINE", flagged ? setting : "1"},
                     {"QUARANTINEPATH", box.Quarantine()},
                     {"SPAMASSASSINEXE", SAFILTER_EXE},
                     {"SPAMASSASSINRULESPATH", box.Path("rules")},
                     {"TEMPPATH", box.Temp()}});
    box.Queue("N.MAI", message);
    killed += RunAndKill(box, std::chrono::microseconds(delay_us(random)));
    Allowed allowed;
    allowed.tagged = setting == "0" || setting == "unflagged";
    allowed.quarantined = setting == "1";
    allowed.deleted = setting == "2";
    ExpectWhole(box, "N.MAI", message, allowed);
  }
  EXPECT_GE(killed, 100);
}

TEST(MalformedInput, ConfigurationAndRegistryFilesNeverCrashTheRun) {
  const std::string garbage = std::string("\x00\xff\xfe[SPAM\x01\n=\x80\r\n\r\r", 16) + std::string(5000, '\xc3');
  struct Case {
    const char* name;
    std::string config;
    std::string registry;  // empty: the sandbox's own
  } cases[] = {
      {"binary garbage", garbage, ""},
      {"a 1 MB line", "[SPAMASSASSIN Plugin Config]\r\nQUARANTINEPATH=" + std::string(1 << 20, 'q') + "\r\n", ""},
      {"no section header", "QUARANTINE=2\r\nTEMPPATH=/tmp\r\n", ""},
      {"duplicate keys", "[SPAMASSASSIN Plugin Config]\r\nQUARANTINE=3\r\nQUARANTINE=2\r\n", ""},
      {"number out of range", "[SPAMASSASSIN Plugin Config]\r\nMAXMESSAGESIZE=99999999999\r\n", ""},
      {"number with a fraction", "[SPAMASSASSIN Plugin Config]\r\nQUARANTINE=1.5\r\n", ""},
      {"registry garbage", "[SPAMASSASSIN Plugin Config]\r\n", garbage},
      {"registry without the key", "[SPAMASSASSIN Plugin Config]\r\n", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"},
      {"registry with a broken value", "[SPAMASSASSIN Plugin Config]\r\n",
       "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell\\Tarkwell]\r\n\"Data Directory\"=\"unclosed\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto fresh = NewSandbox();
    Sandbox& box = *fresh;
    WriteFile(box.ConfigFile(), c.config);
    if (!c.registry.empty()) WriteFile(box.Path("registry.reg"), c.registry);
    box.Queue("N.MAI", kHam);
    const RunResult run = box.Run({"N.MAI", "Conn"});
    ASSERT_GE(run.exit_status, 0);
    ASSERT_LE(run.exit_status, 3) << "ended by a signal or worse";
    // A clear outcome: a configuration error says why on standard error, a
    // trapped run in the event log; otherwise the message is whole.
    if (run.exit_status == 2) {
      EXPECT_NE(run.standard_error.find("saplugin: error"), std::string::npos);
    }
    if (run.exit_status == 1) {
      ASSERT_FALSE(box.Events().empty());
      EXPECT_EQ(box.Events().back().rfind(kTrap, 0), 0u);
    }
    Allowed allowed;
    allowed.tagged = true;
    ExpectWhole(box, "N.MAI", kHam, allowed);
  }
}

}  // namespace
}  // namespace saplugin
