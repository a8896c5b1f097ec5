// The POSIX platform's services: registry, profile reader, event log,
// environment and command line.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>

#include "platform/platform.h"
#include "platform/posix/event_log.h"
#include "temp_folder.h"

namespace saplugin {
namespace {

class PosixPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char* argv[] = {const_cast<char*>("saplugin"), const_cast<char*>("N.MAI"),
                    const_cast<char*>(""), const_cast<char*>("Conn")};
    platform = CreatePlatform(4, argv);
  }
  void TearDown() override {
    unsetenv("SAPLUGIN_REGISTRY");
    unsetenv("SAPLUGIN_EVENTLOG");
  }

  TempFolder folder;
  std::unique_ptr<Platform> platform;
};

TEST_F(PosixPlatformTest, CommandLineJoinsTheWordsWithSingleBlanks) {
  EXPECT_EQ(platform->CommandLine(), "N.MAI  Conn");
  EXPECT_FALSE(platform->ExecutableDirectory().empty());
  EXPECT_NE(platform->ExecutableDirectory().back(), '/');
}

TEST_F(PosixPlatformTest, RegistryCallsReadTheFileNamedByTheEnvironment) {
  WriteFile(folder / "r.reg",
            "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"Data Directory\"=\"/d\"\n");
  setenv("SAPLUGIN_REGISTRY", (folder / "r.reg").c_str(), 1);
  RegistryKey key = kNoRegistryKey;
  ASSERT_EQ(platform->OpenRegistryKey("SOFTWARE\\T", 0x2003F, &key), kStatusSuccess);
  std::uint32_t type = 0, size = 0;
  ASSERT_EQ(platform->QueryRegistryValue(key, "data directory", &type, nullptr, &size), kStatusSuccess);
  EXPECT_EQ(type, 1u);
  EXPECT_EQ(size, 3u);  // counts the NUL
  char small[2];
  std::uint32_t small_size = 2;
  EXPECT_EQ(platform->QueryRegistryValue(key, "Data Directory", &type, small, &small_size), kStatusMoreData);
  char buffer[3];
  ASSERT_EQ(platform->QueryRegistryValue(key, "Data Directory", &type, buffer, &size), kStatusSuccess);
  EXPECT_EQ(std::string(buffer, 3), std::string("/d\0", 3));
  EXPECT_NE(platform->QueryRegistryValue(key, "Other", &type, nullptr, &size), kStatusSuccess);
  EXPECT_EQ(platform->CloseRegistryKey(key), kStatusSuccess);
  EXPECT_NE(platform->CloseRegistryKey(key), kStatusSuccess);

  EXPECT_NE(platform->OpenRegistryKey("SOFTWARE\\Missing", 0x2003F, &key), kStatusSuccess);
  EXPECT_EQ(key, kNoRegistryKey);
  setenv("SAPLUGIN_REGISTRY", (folder / "none.reg").c_str(), 1);
  EXPECT_NE(platform->OpenRegistryKey("SOFTWARE\\T", 0x2003F, &key), kStatusSuccess);
}

TEST_F(PosixPlatformTest, ProfileReaderCutsToSizeLessOneAndGivesTheDefault) {
  WriteFile(folder / "c.ini", "[S]\nLONG=" + std::string(300, 'v') + "\nSHORT=ab\n");
  const std::string file = folder.Path() + "\\c.ini";
  char buffer[255];
  EXPECT_EQ(platform->ReadProfileString("S", "LONG", "", buffer, 255, file), 254u);
  EXPECT_EQ(std::string(buffer), std::string(254, 'v'));
  EXPECT_EQ(platform->ReadProfileString("S", "short", "", buffer, 255, file), 2u);
  EXPECT_EQ(std::string(buffer), "ab");
  EXPECT_EQ(platform->ReadProfileString("S", "NONE", "", buffer, 255, file), 0u);
  EXPECT_EQ(platform->ReadProfileString("S", "NONE", "dflt", buffer, 255, file), 4u);
  EXPECT_EQ(platform->ReadProfileString("S", "SHORT", "", buffer, 255, file + "x"), 0u);
}

TEST_F(PosixPlatformTest, EventLogAppendsOneLinePerEntry) {
  EXPECT_EQ(FormatEventLine(0, 42, "a\r\nb"), "1970-01-01T00:00:00Z saplugin[42]: a  b\n");
  setenv("SAPLUGIN_EVENTLOG", (folder / "events.log").c_str(), 1);
  platform->LogEvent("first");
  platform->LogEvent("second");
  const std::string log = ReadFile(folder / "events.log");
  const std::string pid = "saplugin[" + std::to_string(getpid()) + "]: ";
  EXPECT_NE(log.find(pid + "first\n"), std::string::npos);
  EXPECT_NE(log.find(pid + "second\n"), std::string::npos);
  EXPECT_EQ(log[4], '-');
  EXPECT_EQ(log[19], 'Z');
  setenv("SAPLUGIN_EVENTLOG", (folder / "no/such/folder.log").c_str(), 1);
  EXPECT_THROW(platform->LogEvent("lost"), Error);
}

TEST_F(PosixPlatformTest, EnvironmentNamesMatchInAnyLetterCase) {
  setenv("SaPlugin_Test_Var", "value", 1);
  EXPECT_EQ(platform->EnvironmentValue("SAPLUGIN_TEST_VAR"), "value");
  EXPECT_EQ(platform->EnvironmentValue("saplugin_test_var"), "value");
  unsetenv("SaPlugin_Test_Var");
  EXPECT_EQ(platform->EnvironmentValue("SAPLUGIN_TEST_VAR"), "");
}

TEST_F(PosixPlatformTest, GuidIsVersionFourAndNewEachTime) {
  Guid a, b;
  ASSERT_EQ(platform->CreateGuid(&a), 0);
  ASSERT_EQ(platform->CreateGuid(&b), 0);
  EXPECT_EQ(a.data3 >> 12, 4);
  EXPECT_EQ(a.data4[0] >> 6, 2);
  EXPECT_FALSE(a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3);
}

}  // namespace
}  // namespace saplugin
