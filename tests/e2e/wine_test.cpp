// The Windows build under Wine: the scenario table with Wine's own cmd.exe
// (copied into a folder with a blank), registry and profile reader, and the
// cases that only Windows has.

#include <gtest/gtest.h>

#include <filesystem>

#include "e2e/e2e.h"

namespace saplugin {
namespace {

std::string WinePath(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  return "Z:" + path;
}

Build WindowsBuild() {
  return Build{WINDOWS_BUILD "/saplugin.exe", WINDOWS_BUILD "/safilter.exe", true, WINE_DATA, WinePath(WINE_DATA "/my shell/cmd.exe")};
}

int SetDataDirectory(const std::string& type, const std::string& value) {
  return WaitProcess(StartProcess({"wine", "reg", "add", "HKLM\\SOFTWARE\\Tarkwell\\Tarkwell", "/v", "Data Directory", "/t",
                                   type, "/d", value, "/f"}, {{"WINEDEBUG", "-all"}}, "/dev/null"));
}

class WineSetUp : public ::testing::Environment {
  void SetUp() override {
    MakeFolders(WINE_DATA "/my shell");
    std::filesystem::copy_file(WINE_PREFIX "/drive_c/windows/system32/cmd.exe", WINE_DATA "/my shell/cmd.exe",
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(SetDataDirectory("REG_SZ", WinePath(WINE_DATA)), 0);
  }
};
const auto* const kSetUp = ::testing::AddGlobalTestEnvironment(new WineSetUp);

class WineScenario : public ::testing::TestWithParam<Scenario> {};
TEST_P(WineScenario, LeavesTheQueueAndTheEventLogAsExpected) { RunScenario(WindowsBuild(), GetParam()); }
INSTANTIATE_TEST_SUITE_P(Scan, WineScenario, ::testing::ValuesIn(Scenarios(kWine)),
                         [](const auto& info) { return info.param.name; });

TEST(WindowsOnly, SpamcAdapterPassesTheMessageWithTheFilterArgumentsDropped) {
  // safilter.exe stands in for spamc.exe: the rules file would silence it if
  // the adapter handed "-c RULES" on.
  Sandbox box(WindowsBuild());
  std::string adapter = ReadFile(SAPLUGIN_SOURCE_DIR "/dist/spamc-filter.cmd");
  const std::string line = "set SPAMC=C:\\SpamAssassin\\spamc.exe";
  ASSERT_NE(adapter.find(line), std::string::npos);
  WriteFile(box.folder / "spamc.cmd", adapter.replace(adapter.find(line), line.size(), "set SPAMC=" + WinePath(box.build.safilter)));
  WriteFile(box.folder / "silence.txt", "no-output\n");
  box.Configure("SPAMASSASSINEXE={box}/spamc.cmd SPAMASSASSINRULESPATH={box}/silence.txt");
  box.Queue("N.MAI", kHam);
  const RunResult run = box.Run();
  EXPECT_EQ(run.status, 0) << run.standard_error;
  EXPECT_EQ(box.Events(), std::vector<std::string>{});
  EXPECT_EQ(ReadFile(box.messages + "/N.MAI"), FilterOutput(kHam));
}

}  // namespace
}  // namespace saplugin
