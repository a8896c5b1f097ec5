// The Windows build under Wine: the scenario table with Wine's own cmd.exe
// (copied into a folder with a blank), registry and profile reader.

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

class WineSetUp : public ::testing::Environment {
  void SetUp() override {
    MakeFolders(WINE_DATA "/my shell");
    std::filesystem::copy_file(WINE_PREFIX "/drive_c/windows/system32/cmd.exe", WINE_DATA "/my shell/cmd.exe",
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(WaitProcess(StartProcess({"wine", "reg", "add", "HKLM\\SOFTWARE\\Tarkwell\\Tarkwell", "/v", "Data Directory",
                                        "/d", WinePath(WINE_DATA), "/f"}, {{"WINEDEBUG", "-all"}}, "/dev/null")), 0);
  }
};
const auto* const kSetUp = ::testing::AddGlobalTestEnvironment(new WineSetUp);

class WineScenario : public ::testing::TestWithParam<Scenario> {};
TEST_P(WineScenario, LeavesTheQueueAndTheEventLogAsExpected) { RunScenario(WindowsBuild(), GetParam()); }
INSTANTIATE_TEST_SUITE_P(Scan, WineScenario, ::testing::ValuesIn(Scenarios(kWine)),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace saplugin
