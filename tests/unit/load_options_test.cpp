#include "config/load_options.h"

#include <gtest/gtest.h>

#include "config/conversions.h"
#include "fake_platform.h"

namespace saplugin {
namespace {

const char* const kTurningOff =
    "Turning off quarantining for SpamAssassin because no path set in config file";
const char* const kInvalidQuarantine = "Quantine path is not a valid directory.";

class LoadOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override { platform.AddConfigFile(); }

  bool Load() { return LoadOptions(platform, options); }

  FakePlatform platform;
  PluginOptions options;
};

TEST(LoadOptionsMissingFile, LogsTheDirectoryAndReadsNothing) {
  FakePlatform platform;
  platform.executable_directory = "C:\\Program Files\\Plugin";
  platform.profile["QUARANTINEPATH"] = "C:\\Q";
  PluginOptions options;
  EXPECT_FALSE(LoadOptions(platform, options));
  ASSERT_EQ(platform.events.size(), 1u);
  EXPECT_EQ(platform.events[0],
            "Can't run SpamAssassin because no plugin config file at path: C:\\Program Files\\Plugin");
  EXPECT_TRUE(platform.profile_reads.empty());
  EXPECT_EQ(platform.file_systems_alive, 0);
  // It looked for the file beside the executable, by plain concatenation.
  EXPECT_EQ(platform.calls.front(), "FileExists C:\\Program Files\\Plugin\\spamassassinconfig.ini");
}

TEST_F(LoadOptionsTest, EmptyFileKeepsStartValuesAndTurnsQuarantiningOff) {
  EXPECT_TRUE(Load());
  EXPECT_EQ(options.Quarantine, 0);
  EXPECT_EQ(options.MaxMessageSize, 0);
  EXPECT_FALSE(options.KeepOriginal);
  EXPECT_EQ(options.QuarantinePath, "");
  EXPECT_EQ(options.SpamAssassinExe, "");
  EXPECT_EQ(options.SpamAssassinRulesPath, "");
  EXPECT_EQ(options.TempPath, "");
  EXPECT_EQ(platform.events, std::vector<std::string>{kTurningOff});
  // Seven keys, in order, each with a 255-character buffer.
  EXPECT_EQ(platform.profile_reads,
            (std::vector<std::string>{"QUARANTINE", "MAXMESSAGESIZE", "KEEPORIGINAL",
                                      "QUARANTINEPATH", "SPAMASSASSINEXE",
                                      "SPAMASSASSINRULESPATH", "TEMPPATH"}));
  EXPECT_EQ(platform.profile_sizes, std::vector<std::uint32_t>(7, 255));
  EXPECT_EQ(platform.file_systems_alive, 0);
}

TEST_F(LoadOptionsTest, FullConfigurationIsTrimmedAndNormalised) {
  platform.AddFolder("C:\\Quarantine");
  platform.profile = {{"QUARANTINE", " 1 "},
                      {"MAXMESSAGESIZE", "  1048576"},
                      {"KEEPORIGINAL", " 1  "},
                      {"QUARANTINEPATH", "  C:\\Quarantine "},
                      {"SPAMASSASSINEXE", " C:\\SA\\spamassassin.exe "},
                      {"SPAMASSASSINRULESPATH", "C:\\SA\\rules\t"},
                      {"TEMPPATH", "C:\\Temp"}};
  EXPECT_TRUE(Load());
  EXPECT_EQ(options.Quarantine, 1);
  EXPECT_EQ(options.MaxMessageSize, 1048576);
  EXPECT_TRUE(options.KeepOriginal);
  EXPECT_EQ(options.QuarantinePath, "C:\\Quarantine\\");
  EXPECT_EQ(options.SpamAssassinExe, "C:\\SA\\spamassassin.exe");
  EXPECT_EQ(options.SpamAssassinRulesPath, "C:\\SA\\rules\t");  // only spaces are trimmed
  EXPECT_EQ(options.TempPath, "C:\\Temp\\");
  EXPECT_TRUE(platform.events.empty());
  EXPECT_EQ(platform.folders.count("C:\\Quarantine\\Messages"), 1u);
}

TEST_F(LoadOptionsTest, QuarantinePathWithTrailingBackslashIsNotDoubledAndMessagesMadeForAnyAction) {
  platform.AddFolder("C:\\Q");
  platform.profile = {{"QUARANTINE", "2"}, {"QUARANTINEPATH", "C:\\Q\\"}};
  EXPECT_TRUE(Load());
  EXPECT_EQ(options.QuarantinePath, "C:\\Q\\");
  EXPECT_EQ(options.Quarantine, 2);
  EXPECT_EQ(platform.folders.count("C:\\Q\\Messages"), 1u);
}

TEST_F(LoadOptionsTest, ExistingMessagesSubfolderIsNotMadeAgain) {
  platform.AddFolder("C:\\Q\\Messages");
  platform.profile = {{"QUARANTINEPATH", "C:\\Q"}};
  EXPECT_TRUE(Load());
  for (const auto& call : platform.calls) EXPECT_EQ(call.find("CreateFolder"), std::string::npos);
}

TEST_F(LoadOptionsTest, NoQuarantinePathTurnsAnyActionToZeroWithOneEntry) {
  for (const char* action : {"2", "0", "1"}) {
    FakePlatform p;
    p.AddConfigFile();
    p.profile = {{"QUARANTINE", action}};
    PluginOptions o;
    EXPECT_TRUE(LoadOptions(p, o));
    EXPECT_EQ(o.Quarantine, 0) << action;
    EXPECT_EQ(p.events, std::vector<std::string>{kTurningOff}) << action;
  }
}

TEST_F(LoadOptionsTest, QuarantinePathThatIsNoFolderLogsAndThrowsBeforeTheLaterKeys) {
  const char* values[] = {"C:\\Missing", "   ", "C:\\Plugin\\spamassassinconfig.ini"};
  for (const char* value : values) {
    FakePlatform p;
    p.AddConfigFile();
    p.profile = {{"QUARANTINEPATH", value}, {"TEMPPATH", "C:\\Temp"}};
    PluginOptions o;
    try {
      LoadOptions(p, o);
      ADD_FAILURE() << "no error for " << value;
    } catch (const Error& error) {
      EXPECT_EQ(error.Number(), 20001);
      EXPECT_EQ(error.Source(), "LoadOptions");
      EXPECT_EQ(error.Description(), kInvalidQuarantine);
    }
    EXPECT_EQ(p.events, std::vector<std::string>{kInvalidQuarantine});
    EXPECT_EQ(p.profile_reads.back(), "QUARANTINEPATH");
    EXPECT_EQ(o.TempPath, "");
    EXPECT_EQ(p.file_systems_alive, 0);
    for (const auto& call : p.calls) EXPECT_EQ(call.find("CreateFolder"), std::string::npos);
  }
}

TEST_F(LoadOptionsTest, MessagesSubfolderThatCannotBeMadeThrowsTheFolderError) {
  platform.AddFolder("C:\\Q");
  platform.failures.insert("CreateFolder C:\\Q\\Messages");
  platform.profile = {{"QUARANTINEPATH", "C:\\Q"}};
  EXPECT_THROW(Load(), Error);
  EXPECT_TRUE(platform.events.empty());
  EXPECT_EQ(platform.file_systems_alive, 0);
}

TEST_F(LoadOptionsTest, KeepOriginalIsTrueOnlyForExactlyOne) {
  const std::pair<const char*, bool> cases[] = {{"1", true},   {"  1 ", true}, {"0", false},
                                                {"01", false}, {"-1", false},  {"true", false},
                                                {"yes", false}, {"1\t", false}};
  for (const auto& c : cases) {
    FakePlatform p;
    p.AddConfigFile();
    p.profile = {{"KEEPORIGINAL", c.first}};
    PluginOptions o;
    LoadOptions(p, o);
    EXPECT_EQ(o.KeepOriginal, c.second) << '"' << c.first << '"';
  }
}

TEST_F(LoadOptionsTest, NumberThatDoesNotConvertThrowsBeforeTheLaterKeysWithNoEntry) {
  platform.AddFolder("C:\\Q");
  platform.profile = {{"QUARANTINE", "abc"}, {"QUARANTINEPATH", "C:\\Q"}};
  try {
    Load();
    ADD_FAILURE() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kErrorTypeMismatch);
    EXPECT_NE(error.Description().find("QUARANTINE"), std::string::npos);
    EXPECT_NE(error.Description().find("abc"), std::string::npos);
  }
  EXPECT_TRUE(platform.events.empty());
  EXPECT_EQ(platform.profile_reads, std::vector<std::string>{"QUARANTINE"});
  EXPECT_EQ(platform.folders.count("C:\\Q\\Messages"), 0u);
}

TEST_F(LoadOptionsTest, MaxMessageSizeOutOfRangeThrowsOverflowAndZeroOrNegativeIsKept) {
  platform.profile = {{"MAXMESSAGESIZE", "2147483648"}};
  try {
    Load();
    ADD_FAILURE() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kErrorOverflow);
  }
  for (const char* value : {"0", "-5", "2147483647", "-2147483648"}) {
    FakePlatform p;
    p.AddConfigFile();
    p.profile = {{"MAXMESSAGESIZE", value}};
    PluginOptions o;
    EXPECT_TRUE(LoadOptions(p, o));
    EXPECT_EQ(std::to_string(o.MaxMessageSize), value);
  }
}

TEST(Conversions, AcceptOnlySignedDecimalIntegersInRange) {
  EXPECT_EQ(ToInteger16("32767", "K"), 32767);
  EXPECT_EQ(ToInteger16("-32768", "K"), -32768);
  EXPECT_EQ(ToInteger16("+007", "K"), 7);
  EXPECT_EQ(ToInteger32("-0", "K"), 0);
  for (const char* bad : {"", "-", "+", "1.5", "1e3", "&H10", "0x10", "1,000", " 1", "1 ", "--1"}) {
    try {
      ToInteger16(bad, "K");
      ADD_FAILURE() << "accepted \"" << bad << '"';
    } catch (const Error& error) {
      EXPECT_EQ(error.Number(), kErrorTypeMismatch) << bad;
    }
  }
  for (const char* big : {"32768", "-32769", "99999999999999999999999999"}) {
    try {
      ToInteger16(big, "K");
      ADD_FAILURE() << "accepted " << big;
    } catch (const Error& error) {
      EXPECT_EQ(error.Number(), kErrorOverflow) << big;
    }
  }
  EXPECT_THROW(ToInteger32("-2147483649", "K"), Error);
}

TEST(Conversions, TrimSpacesRemovesOnlySpaces) {
  EXPECT_EQ(TrimSpaces("  a b  "), "a b");
  EXPECT_EQ(TrimSpaces("\ta\t"), "\ta\t");
  EXPECT_EQ(TrimSpaces("    "), "");
}

TEST_F(LoadOptionsTest, TempPathGetsOneTrailingBackslashEvenWhenItTrimsToNothing) {
  platform.profile = {{"TEMPPATH", "C:\\Missing\\Temp"}};
  EXPECT_TRUE(Load());
  EXPECT_EQ(options.TempPath, "C:\\Missing\\Temp\\");
  EXPECT_EQ(platform.folders.count("C:\\Missing\\Temp"), 0u);  // neither tested nor made

  FakePlatform p;
  p.AddConfigFile();
  p.profile = {{"TEMPPATH", "   "}};
  PluginOptions o;
  LoadOptions(p, o);
  EXPECT_EQ(o.TempPath, "\\");
}

TEST_F(LoadOptionsTest, ValueOfThreeHundredCharactersIsCutTo254BeforeTrimming) {
  const std::string value = std::string(250, 'x') + "    " + std::string(46, 'y');
  platform.profile = {{"SPAMASSASSINEXE", value}};
  EXPECT_TRUE(Load());
  EXPECT_EQ(options.SpamAssassinExe, std::string(250, 'x'));
}

}  // namespace
}  // namespace saplugin
