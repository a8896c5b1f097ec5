// The Windows build, saplugin.exe, under Wine: the scenario table with Wine's
// own cmd.exe, registry and profile reader, and the cases that only Windows has.

#include <gtest/gtest.h>

#include <filesystem>

#include "e2e/scenario_runner.h"

namespace saplugin {
namespace {

const char* const kHostKey = "HKLM\\SOFTWARE\\Tarkwell\\Tarkwell";

Build WindowsBuild() { return Build{WINDOWS_SAPLUGIN_EXE, WINDOWS_SAFILTER_EXE, true, WINE_DATA}; }

std::string WinePath(const std::string& path) {
  std::string native = "Z:" + path;
  for (char& c : native) c = c == '/' ? '\\' : c;
  return native;
}

// Runs a Windows command line tool under Wine; answers its exit status.
int Wine(const std::vector<std::string>& words) {
  std::vector<std::string> command{"wine"};
  command.insert(command.end(), words.begin(), words.end());
  TempFolder folder;
  return RunProcess(command, {{"WINEDEBUG", "-all"}}, folder / "stderr.txt");
}

void SetDataDirectory(const std::string& type, const std::string& value) {
  ASSERT_EQ(Wine({"reg", "add", kHostKey, "/v", "Data Directory", "/t", type, "/d", value, "/f"}), 0);
}

// The suite's data directory is named in Wine's registry once per process.
class WineRegistry : public ::testing::Environment {
 public:
  void SetUp() override {
    MakeFolders(WINE_DATA);
    SetDataDirectory("REG_SZ", WinePath(WINE_DATA));
  }
};
const auto* const kRegistry = ::testing::AddGlobalTestEnvironment(new WineRegistry);

class WineScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(WineScenario, LeavesTheQueueAndTheEventLogAsExpected) { RunScenario(WindowsBuild(), GetParam()); }

INSTANTIATE_TEST_SUITE_P(Scan, WineScenario, ::testing::ValuesIn(ScanScenarios()),
                         [](const auto& info) { return info.param.name; });

class WindowsOnly : public ::testing::Test {
 protected:
  void Configure(const std::string& quarantine) {
    box.WriteConfig({{"QUARANTINE", quarantine},
                     {"QUARANTINEPATH", box.Native(box.Quarantine())},
                     {"SPAMASSASSINEXE", box.Native(WINDOWS_SAFILTER_EXE)},
                     {"SPAMASSASSINRULESPATH", box.Native(box.Path("rules"))},
                     {"TEMPPATH", box.Native(box.Temp())}});
  }

  Sandbox box{WindowsBuild()};
};

TEST_F(WindowsOnly, MessageMadeReadOnlyWithAttribIsNotDeleted) {
  Configure("2");
  box.Queue("N.MAI", kSpam);
  ASSERT_EQ(Wine({"cmd", "/c", "attrib", "+r", box.Native(box.Messages() + "/N.MAI")}), 0);
  const RunResult run = box.Run({"N.MAI", box.Connector()});
  EXPECT_EQ(run.exit_status, 1);
  const auto events = box.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("Could not process pickup event for Connector: Could not delete", 0), 0u) << events[0];
  EXPECT_EQ(ReadFile(box.Messages() + "/N.MAI"), kSpam);
  EXPECT_FALSE(Exists(box.Inbound() + "/N.MAI"));
}

TEST_F(WindowsOnly, InterpreterPathWithBlanksIsStartedUnquoted) {
  Configure("1");
  box.Queue("H.MAI", kHam);
  const std::string shell = box.Path("my shell");
  MakeFolders(shell);
  std::filesystem::copy_file(std::string(WINE_PREFIX) + "/drive_c/windows/system32/cmd.exe", shell + "/cmd.exe");
  box.environment["COMSPEC"] = box.Native(shell + "/cmd.exe");
  const RunResult run = box.Run({"H.MAI", box.Connector()});
  EXPECT_EQ(run.exit_status, 0) << run.standard_error;
  EXPECT_TRUE(box.Events().empty());
  EXPECT_EQ(ReadFile(box.Messages() + "/H.MAI").rfind("X-Spam-Checker-Version: ", 0), 0u);
}

TEST_F(WindowsOnly, CommandLineAfterAQuotedProgramPathWithBlanks) {
  Configure("1");
  box.Queue("H.MAI", kHam);
  const std::string folder = box.Path("program files");
  MakeFolders(folder);
  std::filesystem::copy_file(WINDOWS_SAPLUGIN_EXE, folder + "/saplugin.exe");
  std::filesystem::copy_file(box.ConfigFile(), folder + "/spamassassinconfig.ini");
  const RunResult run = box.Run({"H.MAI", box.Connector()}, folder + "/saplugin.exe");
  EXPECT_EQ(run.exit_status, 0) << run.standard_error;
  EXPECT_EQ(ReadFile(box.Messages() + "/H.MAI").rfind("X-Spam-Checker-Version: ", 0), 0u);
}

TEST_F(WindowsOnly, ConfigurationErrorReachesStandardErrorAndNoEntry) {
  box.WriteConfig({{"QUARANTINE", "70000"}});
  const RunResult run = box.Run({"N.MAI", box.Connector()});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_NE(run.standard_error.find("QUARANTINE"), std::string::npos);
  EXPECT_TRUE(box.Events().empty());
}

// Changes the registry value that the other tests share: CTest runs the Wine
// suite one test at a time.
TEST_F(WindowsOnly, DataDirectoryStoredAsADwordIsItsDecimalText) {
  Configure("3");
  // The run's folder is the sandbox, so the relative "42\QUEUES\..." lies in it.
  const std::string queue = box.Path("42/QUEUES/" + box.Connector() + "/Inbound");
  MakeFolders(queue + "/Messages");
  WriteFile(queue + "/N.MAI", "pickup");
  WriteFile(queue + "/Messages/N.MAI", kHam);
  SetDataDirectory("REG_DWORD", "42");
  const RunResult run = box.Run({"N.MAI", box.Connector()});
  SetDataDirectory("REG_SZ", WinePath(WINE_DATA));
  EXPECT_EQ(run.exit_status, 0) << run.standard_error;
  EXPECT_EQ(ReadFile(queue + "/Messages/N.MAI").rfind("X-Spam-Checker-Version: ", 0), 0u);
}

TEST_F(WindowsOnly, SpamcAdapterPassesTheMessageWithTheFilterArgumentsDropped) {
  // safilter.exe stands in for spamc.exe; the rules file would silence it if
  // the adapter handed "-c RULES" on.
  std::string adapter = ReadFile(std::string(SAPLUGIN_SOURCE_DIR) + "/dist/spamc-filter.cmd");
  const std::string line = "set SPAMC=C:\\SpamAssassin\\spamc.exe";
  ASSERT_NE(adapter.find(line), std::string::npos);
  adapter.replace(adapter.find(line), line.size(), "set SPAMC=" + box.Native(WINDOWS_SAFILTER_EXE));
  WriteFile(box.Path("spamc-filter.cmd"), adapter);
  WriteFile(box.Path("silence.txt"), "no-output\n");
  box.WriteConfig({{"QUARANTINE", "1"},
                   {"QUARANTINEPATH", box.Native(box.Quarantine())},
                   {"SPAMASSASSINEXE", box.Native(box.Path("spamc-filter.cmd"))},
                   {"SPAMASSASSINRULESPATH", box.Native(box.Path("silence.txt"))},
                   {"TEMPPATH", box.Native(box.Temp())}});
  box.Queue("H.MAI", kHam);
  const RunResult run = box.Run({"H.MAI", box.Connector()});
  EXPECT_EQ(run.exit_status, 0) << run.standard_error;
  EXPECT_TRUE(box.Events().empty());
  const std::string tagged = ReadFile(box.Messages() + "/H.MAI");
  EXPECT_EQ(tagged.rfind("X-Spam-Checker-Version: ", 0), 0u);
  EXPECT_EQ(tagged.substr(tagged.size() - kHam.size()), kHam);
}

TEST_F(WindowsOnly, RunNamesFromTheRealGuidAreNewEachRun) {
  Configure("1");
  box.Queue("A.MAI", kSpam);
  box.Queue("B.MAI", kSpam);
  EXPECT_EQ(box.Run({"A.MAI", box.Connector()}).exit_status, 0);
  EXPECT_EQ(box.Run({"B.MAI", box.Connector()}).exit_status, 0);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(box.Quarantine())) {
    if (entry.is_regular_file()) names.push_back(entry.path().stem().string());
  }
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(names[0], names[1]);
  for (const auto& name : names) {
    EXPECT_EQ(name.size(), 32u);
    EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF"), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace saplugin
