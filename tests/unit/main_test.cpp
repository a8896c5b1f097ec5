#include "run/main.h"

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "run/read_registry_value.h"

namespace saplugin {
namespace {

const std::string kTrap = "Could not process pickup event for Connector: ";
const std::string kKey = "SOFTWARE\\Tarkwell\\Tarkwell";

class MainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform.AddConfigFile();
    platform.AddFolder("C:\\Q");
    platform.profile = {{"QUARANTINEPATH", "C:\\Q"}, {"TEMPPATH", "C:\\Temp"}};
    platform.SetRegistryText(kKey, "Data Directory", "D:\\Data");
    platform.command_line = "N.MAI Conn";
  }

  FakePlatform platform;
};

TEST(SplitCommandLine, SplitsAtEverySingleSpace) {
  EXPECT_EQ(SplitCommandLine("N C"), (std::vector<std::string>{"N", "C"}));
  EXPECT_EQ(SplitCommandLine("N  C"), (std::vector<std::string>{"N", "", "C"}));
  EXPECT_EQ(SplitCommandLine("N C X"), (std::vector<std::string>{"N", "C", "X"}));
  EXPECT_EQ(SplitCommandLine(" N"), (std::vector<std::string>{"", "N"}));
  EXPECT_EQ(SplitCommandLine("\"a b\""), (std::vector<std::string>{"\"a", "b\""}));
  EXPECT_EQ(SplitCommandLine("N"), (std::vector<std::string>{"N"}));
  EXPECT_TRUE(SplitCommandLine("").empty());
}

TEST_F(MainTest, BuildsBothQueuePathsByPlainConcatenation) {
  platform.command_line = "N.MAI Conn Extra";
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_EQ(platform.calls.back().rfind("FileExists D:\\Data\\QUEUES\\Conn\\Inbound\\Messages\\N.MAI", 0), 0u);
  // Read from the registry once per path, with the host key's access mask.
  EXPECT_EQ(platform.registry_access, (std::vector<std::uint32_t>{0x2003F, 0x2003F}));
  EXPECT_EQ(platform.registry_keys_open, 0);
  EXPECT_TRUE(platform.events.empty());
  EXPECT_EQ(platform.file_systems_alive, 0);
}

TEST_F(MainTest, DataDirectoryWithTrailingBackslashOrAsNumberIsUsedUnchanged) {
  platform.SetRegistryText(kKey, "Data Directory", "D:\\Data\\");
  Main(platform);
  EXPECT_EQ(platform.calls.back(), "FileExists D:\\Data\\\\QUEUES\\Conn\\Inbound\\Messages\\N.MAI");

  platform.SetRegistryDword(kKey, "Data Directory", -42);
  Main(platform);
  EXPECT_EQ(platform.calls.back(), "FileExists -42\\QUEUES\\Conn\\Inbound\\Messages\\N.MAI");
}

TEST_F(MainTest, TwoSpacesMakeTheConnectorEmptyAndTheRunEndsSilently) {
  platform.command_line = "N.MAI  Conn";
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_EQ(platform.calls.back(), "FileExists D:\\Data\\QUEUES\\\\Inbound\\Messages\\N.MAI");
  EXPECT_TRUE(platform.events.empty());
}

TEST_F(MainTest, FewerThanTwoWordsEndInTheTrapWithOneEntry) {
  for (const char* line : {"N.MAI", ""}) {
    FakePlatform p;
    p.AddConfigFile();
    p.AddFolder("C:\\Q");
    p.profile = {{"QUARANTINEPATH", "C:\\Q"}};
    p.command_line = line;
    EXPECT_EQ(Main(p), kExitTrapped);
    ASSERT_EQ(p.events.size(), 1u) << '"' << line << '"';
    EXPECT_EQ(p.events[0].rfind(kTrap, 0), 0u);
    EXPECT_GT(p.events[0].size(), kTrap.size());  // the error's description follows
    EXPECT_TRUE(p.registry_access.empty());  // nothing read before the words
    EXPECT_EQ(p.file_systems_alive, 0);
  }
}

TEST_F(MainTest, MissingRegistryKeyGivesPathsFromTheQueuesFolder) {
  platform.registry.clear();
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_EQ(platform.calls.back(), "FileExists \\QUEUES\\Conn\\Inbound\\Messages\\N.MAI");
  EXPECT_TRUE(platform.events.empty());
}

TEST_F(MainTest, SizeGateScansAtTheLimitAndLeavesOnePastItAlone) {
  platform.profile["MAXMESSAGESIZE"] = "1000";
  platform.AddFolder("C:\\Temp");
  const std::string message = "D:\\Data\\QUEUES\\Conn\\Inbound\\Messages\\N.MAI";
  platform.AddFile(message, std::string(1001, 'x'));
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_TRUE(platform.started.empty());
  EXPECT_EQ(platform.files[message].content.size(), 1001u);
  EXPECT_TRUE(platform.events.empty());

  platform.AddFile(message, std::string(1000, 'x'));
  Main(platform);
  EXPECT_EQ(platform.started.size(), 1u);  // scanned
}

TEST_F(MainTest, SizeIsReadWithTheGateOffAndItsFailureEndsInTheTrap) {
  const std::string message = "D:\\Data\\QUEUES\\Conn\\Inbound\\Messages\\N.MAI";
  platform.AddFile(message, "x");
  platform.failures.insert("FileSize " + message);
  EXPECT_EQ(Main(platform), kExitTrapped);
  ASSERT_EQ(platform.events.size(), 1u);
  EXPECT_EQ(platform.events[0], kTrap + "FileSize failed for \"" + message + "\"");
  EXPECT_EQ(platform.file_systems_alive, 0);
}

TEST_F(MainTest, LoadOptionsFalseEndsWithoutFurtherEntryAndErrorsEscape) {
  FakePlatform missing;
  missing.command_line = "N C";
  EXPECT_EQ(Main(missing), kExitNormal);
  EXPECT_EQ(missing.events.size(), 1u);
  EXPECT_TRUE(missing.registry_access.empty());

  FakePlatform bad;
  bad.AddConfigFile();
  bad.profile = {{"QUARANTINE", "abc"}};
  bad.command_line = "N C";
  EXPECT_THROW(Main(bad), Error);
  EXPECT_TRUE(bad.events.empty());
  EXPECT_TRUE(bad.registry_access.empty());
}

TEST(ReadRegistryValue, ReadsTextUpToItsNulAndKeepsTheLastCharacterWithoutOne) {
  FakePlatform platform;
  platform.SetRegistryText("K", "A", "C:\\Data");
  platform.registry["K"]["NoNul"] = FakeRegistryValue{kRegString, "C:\\Data"};
  platform.registry["K"]["Expand"] = FakeRegistryValue{kRegExpandString, std::string("%TEMP%\0", 7)};
  platform.registry["K"]["Empty"] = FakeRegistryValue{kRegString, std::string(1, '\0')};
  platform.registry["K"]["Zero"] = FakeRegistryValue{kRegString, ""};
  platform.SetRegistryDword("K", "Max", 2147483647);
  platform.SetRegistryDword("K", "Min", -2147483647 - 1);
  EXPECT_EQ(ReadRegistryValue(platform, "K", "A"), "C:\\Data");
  EXPECT_EQ(ReadRegistryValue(platform, "K", "NoNul"), "C:\\Data");
  EXPECT_EQ(ReadRegistryValue(platform, "K", "Expand"), "%TEMP%");
  EXPECT_EQ(ReadRegistryValue(platform, "K", "Empty"), "");
  EXPECT_EQ(ReadRegistryValue(platform, "K", "Zero"), "");
  EXPECT_EQ(ReadRegistryValue(platform, "K", "Max"), "2147483647");
  EXPECT_EQ(ReadRegistryValue(platform, "K", "Min"), "-2147483648");
  EXPECT_EQ(ReadRegistryValue(platform, "K", "Missing"), "");
  EXPECT_EQ(ReadRegistryValue(platform, "Other", "A"), "");
  EXPECT_EQ(platform.registry_keys_open, 0);
}

}  // namespace
}  // namespace saplugin
