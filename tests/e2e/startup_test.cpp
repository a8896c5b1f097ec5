// The built saplugin, run as a process, from its start to the gates.

#include <gtest/gtest.h>

#include "e2e/sandbox.h"

namespace saplugin {
namespace {

const char* const kTurningOff =
    "Turning off quarantining for SpamAssassin because no path set in config file";

TEST(Startup, NoConfigurationFileLogsTheFolderAndTouchesNothing) {
  Sandbox box;
  box.Queue("N.MAI", "Subject: x\r\n\r\nbody\r\n");
  const auto before = box.QueueSnapshot();
  const RunResult run = box.Run({"N.MAI", "Conn"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(box.Events(), std::vector<std::string>{
                              "Can't run SpamAssassin because no plugin config file at path: " + box.Bin()});
  EXPECT_EQ(box.QueueSnapshot(), before);
}

TEST(Startup, EmptyConfigurationTurnsQuarantiningOff) {
  Sandbox box;
  WriteFile(box.ConfigFile(), "");
  const RunResult run = box.Run({"N.MAI", "Conn"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(box.Events(), std::vector<std::string>{kTurningOff});
}

TEST(Startup, QuarantinePathThatIsNoFolderEndsTheRunOnStandardError) {
  Sandbox box;
  box.WriteConfig({{"QUARANTINEPATH", box.Path("registry.reg")}, {"TEMPPATH", box.Temp()}});
  box.Queue("N.MAI", "Subject: x\r\n\r\nbody\r\n");
  const auto before = box.QueueSnapshot();
  const RunResult run = box.Run({"N.MAI", "Conn"});
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.standard_error.find("20001"), std::string::npos);
  EXPECT_NE(run.standard_error.find("Quantine path is not a valid directory."), std::string::npos);
  EXPECT_EQ(box.Events(), std::vector<std::string>{"Quantine path is not a valid directory."});
  EXPECT_EQ(box.QueueSnapshot(), before);
}

TEST(Startup, SettingThatIsNoNumberEndsTheRunWithoutAnEntry) {
  Sandbox box;
  box.WriteConfig({{"QUARANTINE", "abc"}, {"QUARANTINEPATH", box.Quarantine()}});
  const RunResult run = box.Run({"N.MAI", "Conn"});
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.standard_error.find("QUARANTINE"), std::string::npos);
  EXPECT_TRUE(box.Events().empty());
  EXPECT_FALSE(Exists(box.Quarantine() + "/Messages"));
}

TEST(Startup, GoodConfigurationMakesTheMessagesSubfolder) {
  Sandbox box;
  box.WriteConfig({{"QUARANTINE", "1"}, {"QUARANTINEPATH", box.Quarantine()}});
  EXPECT_EQ(box.Run({"N.MAI", "Conn"}).exit_status, 0);
  EXPECT_TRUE(Exists(box.Quarantine() + "/Messages"));
  EXPECT_TRUE(box.Events().empty());
}

TEST(Startup, OneWordCommandLineEndsInTheTrap) {
  Sandbox box;
  box.WriteConfig({{"QUARANTINEPATH", box.Quarantine()}});
  const RunResult run = box.Run({"N.MAI"});
  EXPECT_EQ(run.exit_status, 1);
  const auto events = box.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("Could not process pickup event for Connector: ", 0), 0u);
}

TEST(Startup, MessageExactlyAtTheSizeLimitIsScanned) {
  Sandbox box;
  MakeFolders(box.Path("rules"));
  box.environment["COMSPEC"] = SACMD_EXE;
  box.WriteConfig({{"QUARANTINEPATH", box.Quarantine()},
                   {"MAXMESSAGESIZE", "1000"},
                   {"SPAMASSASSINEXE", SAFILTER_EXE},
                   {"SPAMASSASSINRULESPATH", box.Path("rules")},
                   {"TEMPPATH", box.Temp()}});
  std::string message = "Subject: limit\r\n\r\n";
  message.resize(1000, 'x');
  box.Queue("N.MAI", message);
  EXPECT_EQ(box.Run({"N.MAI", "Conn"}).exit_status, 0);
  const std::string tagged = ReadFile(box.Messages() + "/N.MAI");
  EXPECT_EQ(tagged.rfind("X-Spam-Checker-Version: ", 0), 0u);
  EXPECT_EQ(tagged.substr(tagged.size() - message.size()), message);
  EXPECT_TRUE(box.Events().empty());
}

TEST(Startup, MissingOrTooLargeMessagesAreLeftSilently) {
  Sandbox box;
  box.WriteConfig({{"QUARANTINEPATH", box.Quarantine()}, {"MAXMESSAGESIZE", "1000"}});
  box.Queue("BIG.MAI", std::string(1001, 'x'));
  const auto before = box.QueueSnapshot();
  EXPECT_EQ(box.Run({"MISSING.MAI", "Conn"}).exit_status, 0);
  EXPECT_EQ(box.Run({"BIG.MAI", "Conn"}).exit_status, 0);
  EXPECT_EQ(box.QueueSnapshot(), before);
  EXPECT_TRUE(box.Events().empty());
}

}  // namespace
}  // namespace saplugin
