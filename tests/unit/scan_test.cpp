#include "run/scan.h"

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "run/main.h"

namespace saplugin {
namespace {

const std::string kNoEmail = "SpamAssassin didn't return an email. Configuration problem.";
const std::string kTrap = "Could not process pickup event for Connector: ";
const std::string kRun = "0000ABCD000F800100010A10ABFF7E09";
const std::string kPickup = "D:\\Data\\QUEUES\\Conn\\Inbound\\N.MAI";
const std::string kMessage = "D:\\Data\\QUEUES\\Conn\\Inbound\\Messages\\N.MAI";
const std::string kBatch = "C:\\Temp\\" + kRun + ".BAT";
const std::string kOutput = "C:\\Temp\\" + kRun + ".MAI";
const std::string kOriginal = "Subject: hello\r\n\r\nbody\r\n";
const std::string kFlagged = "X-Spam-Flag: YES\r\nSubject: hello\r\n\r\nbody\r\n";
const std::string kClean = "X-Spam-Status: No\r\nSubject: hello\r\n\r\nbody\r\n";

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform.AddConfigFile();
    platform.AddFolder("C:\\Q");
    platform.AddFolder("C:\\Temp");
    platform.profile = {{"QUARANTINE", "1"},
                        {"QUARANTINEPATH", "C:\\Q"},
                        {"SPAMASSASSINEXE", "C:\\SA\\spamassassin.exe"},
                        {"SPAMASSASSINRULESPATH", "C:\\SA\\rules"},
                        {"TEMPPATH", "C:\\Temp"}};
    platform.SetRegistryText("SOFTWARE\\Tarkwell\\Tarkwell", "Data Directory", "D:\\Data");
    platform.command_line = "N.MAI Conn";
    platform.environment["COMSPEC"] = "C:\\Windows\\cmd.exe";
    platform.guid.data1 = 0xABCD;
    platform.guid.data2 = 0xF;
    platform.guid.data3 = 0x8001;
    const std::uint8_t data4[] = {0x00, 0x01, 0x0A, 0x10, 0xAB, 0xFF, 0x7E, 0x09};
    std::copy(data4, data4 + 8, platform.guid.data4);
    platform.AddFile(kPickup, "pickup");
    platform.AddFile(kMessage, kOriginal);
  }

  // The filter writes this output when the batch file runs (or none at all).
  void FilterWrites(const std::string& output) {
    platform.on_start = [this, output] {
      batch_seen = platform.files[kBatch].content;
      platform.files[kOutput] = FakeFile{output, false};
    };
  }

  bool Has(const std::string& path) const { return platform.files.count(path) == 1; }
  std::string Content(const std::string& path) { return platform.files[path].content; }
  bool TemporaryFilesGone() const { return !Has(kBatch) && !Has(kOutput); }

  FakePlatform platform;
  std::string batch_seen;
};

TEST_F(ScanTest, WritesOneBatchLineAndRunsItThroughTheInterpreter) {
  FilterWrites(kClean);
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_EQ(batch_seen, "\"C:\\SA\\spamassassin.exe\" -P -c \"C:\\SA\\rules\" < \"" + kMessage +
                            "\" > \"C:\\Temp\\" + kRun + ".MAI\"\r\n");
  EXPECT_EQ(platform.started, std::vector<std::string>{"C:\\Windows\\cmd.exe /c \"" + kBatch + "\""});
  EXPECT_TRUE(TemporaryFilesGone());
  EXPECT_TRUE(platform.events.empty());
  EXPECT_EQ(platform.file_systems_alive, 0);
}

TEST_F(ScanTest, FlaggedMessageGetsTheActionThatQuarantineNames) {
  const std::string q_pickup = "C:\\Q\\" + kRun + ".MAI";
  const std::string q_message = "C:\\Q\\Messages\\" + kRun + ".MAI";
  const std::string q_output = "C:\\Q\\Messages\\" + kRun + ".SA";
  for (const char* action : {"0", "1", "2", "3", "-1"}) {
    SCOPED_TRACE(action);
    SetUp();
    platform.files.erase(q_pickup);
    platform.files.erase(q_message);
    platform.files.erase(q_output);
    platform.profile["QUARANTINE"] = action;
    platform.profile["KEEPORIGINAL"] = "1";  // plays no part for a flagged message
    FilterWrites(kFlagged);
    EXPECT_EQ(Main(platform), kExitNormal);
    const std::string a = action;
    if (a == "0") {
      EXPECT_EQ(Content(kMessage), kFlagged);
      EXPECT_TRUE(Has(kPickup));
    } else if (a == "1") {
      EXPECT_EQ(Content(q_pickup), "pickup");
      EXPECT_EQ(Content(q_message), kOriginal);
      EXPECT_EQ(Content(q_output), kFlagged);
      EXPECT_FALSE(Has(kPickup));
      EXPECT_FALSE(Has(kMessage));
    } else if (a == "2") {
      EXPECT_FALSE(Has(kPickup));
      EXPECT_FALSE(Has(kMessage));
      EXPECT_FALSE(Has(q_message));
    } else {
      EXPECT_EQ(Content(kMessage), kOriginal);
      EXPECT_TRUE(Has(kPickup));
    }
    EXPECT_TRUE(TemporaryFilesGone());
    EXPECT_TRUE(platform.events.empty());
  }
}

TEST_F(ScanTest, FlagCountsOnlyAtTheStartOfAHeaderLineInAnyCase) {
  const std::pair<std::string, bool> outputs[] = {
      {"Subject: a\r\nx-spam-flag: yes\r\n\r\nbody\r\n", true},
      {"Subject: a\r\nX-Spam-Flag: YESTERDAY\r\n\r\n", true},  // the text stands at the start
      {"Subject: a\r\n X-Spam-Flag: YES\r\n\r\n", false},
      {"Subject: a\r\nX-Note: X-Spam-Flag: YES\r\n\r\n", false},
      {"Subject: a\r\n\r\nX-Spam-Flag: YES\r\n", false},
      {"Subject: a\nX-Spam-Flag: YES\n", true},
      {"Subject: a", false},
  };
  for (const auto& output : outputs) {
    SCOPED_TRACE(output.first);
    SetUp();
    platform.profile["QUARANTINE"] = "2";
    platform.profile["KEEPORIGINAL"] = "1";
    FilterWrites(output.first);
    EXPECT_EQ(Main(platform), kExitNormal);
    EXPECT_EQ(Has(kMessage), !output.second);
  }
}

TEST_F(ScanTest, CleanMessageIsReplacedUnlessKeepOriginal) {
  FilterWrites(kClean);
  Main(platform);
  EXPECT_EQ(Content(kMessage), kClean);
  EXPECT_TRUE(Has(kPickup));

  SetUp();
  platform.profile["KEEPORIGINAL"] = "1";
  FilterWrites(kClean);
  Main(platform);
  EXPECT_EQ(Content(kMessage), kOriginal);
  EXPECT_TRUE(TemporaryFilesGone());
  // The replacement went through a copy beside the message and a rename.
  for (const auto& file : platform.files) EXPECT_EQ(file.first.find(".tmp"), std::string::npos);
}

TEST_F(ScanTest, ExistingQuarantineFileIsOverwritten) {
  platform.AddFile("C:\\Q\\" + kRun + ".MAI", "older");
  FilterWrites(kFlagged);
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_EQ(Content("C:\\Q\\" + kRun + ".MAI"), "pickup");
}

TEST_F(ScanTest, MissingOutputLeavesTheQueueAndRemovesTheBatchFile) {
  EXPECT_EQ(Main(platform), kExitNoScan);
  EXPECT_EQ(platform.events, std::vector<std::string>{kNoEmail});
  EXPECT_EQ(Content(kMessage), kOriginal);
  EXPECT_TRUE(Has(kPickup));
  EXPECT_TRUE(TemporaryFilesGone());
}

TEST_F(ScanTest, OutputThatIsNoMessageOrFromACrashedFilterCountsAsMissing) {
  const std::string outputs[] = {"", "\r\n", "not a header line\r\n\r\nbody", ": no name\r\n",
                                 "Bad Name: x\r\n\r\n", std::string(2000, 'x') + ": long\r\n"};
  for (const auto& output : outputs) {
    SCOPED_TRACE(output);
    SetUp();
    FilterWrites(output);
    EXPECT_EQ(Main(platform), kExitNoScan);
    EXPECT_EQ(platform.events, std::vector<std::string>{kNoEmail});
    EXPECT_EQ(Content(kMessage), kOriginal);
    EXPECT_TRUE(TemporaryFilesGone());
    platform.events.clear();
  }
  SetUp();
  FilterWrites(kFlagged);
  platform.child.exit_status = 137;
  platform.crash_statuses = {137};
  EXPECT_EQ(Main(platform), kExitNoScan);
  EXPECT_EQ(Content(kMessage), kOriginal);
  EXPECT_TRUE(Has(kPickup));
  EXPECT_TRUE(TemporaryFilesGone());
}

TEST_F(ScanTest, OtherExitStatusesPlayNoPart) {
  FilterWrites(kFlagged);
  platform.child.exit_status = 1;
  platform.crash_statuses = {137};
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_FALSE(Has(kMessage));
}

TEST_F(ScanTest, ReadOnlyMessageWithDeleteEndsInTheTrapAfterThePickupIsGone) {
  platform.profile["QUARANTINE"] = "2";
  platform.files[kMessage].read_only = true;
  FilterWrites(kFlagged);
  EXPECT_EQ(Main(platform), kExitTrapped);
  ASSERT_EQ(platform.events.size(), 1u);
  EXPECT_EQ(platform.events[0].rfind(kTrap, 0), 0u);
  EXPECT_FALSE(Has(kPickup));
  EXPECT_EQ(Content(kMessage), kOriginal);
  EXPECT_TRUE(Has(kBatch));
  EXPECT_TRUE(Has(kOutput));
  EXPECT_EQ(platform.file_systems_alive, 0);
}

TEST_F(ScanTest, FailedQuarantineCopyKeepsEarlierCopiesAndTheMessage) {
  platform.failures.insert("CopyFile C:\\Temp\\" + kRun + ".MAI -> C:\\Q\\Messages\\" + kRun + ".SA");
  FilterWrites(kFlagged);
  EXPECT_EQ(Main(platform), kExitTrapped);
  EXPECT_TRUE(Has("C:\\Q\\" + kRun + ".MAI"));
  EXPECT_TRUE(Has("C:\\Q\\Messages\\" + kRun + ".MAI"));
  EXPECT_EQ(Content(kMessage), kOriginal);
  EXPECT_TRUE(Has(kPickup));
  EXPECT_TRUE(Has(kOutput));
}

TEST_F(ScanTest, OutputIsMovedIntoPlaceOrCopiedBesideTheMessageAcrossVolumes) {
  FilterWrites(kClean);
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_EQ(Content(kMessage), kClean);
  EXPECT_TRUE(TemporaryFilesGone());
  int copies = 0;
  for (const auto& call : platform.calls) copies += call.rfind("CopyFile", 0) == 0;
  EXPECT_EQ(copies, 0);

  SetUp();
  platform.other_volume.insert("C:\\Temp");
  const std::string temporary = kMessage + "." + kRun + ".tmp";
  FilterWrites(kFlagged);
  platform.profile["QUARANTINE"] = "0";
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_EQ(Content(kMessage), kFlagged);
  EXPECT_FALSE(Has(temporary));
  EXPECT_TRUE(TemporaryFilesGone());
}

TEST_F(ScanTest, FailedReplacementKeepsTheMessageWholeAndRemovesTheTemporaryCopy) {
  platform.other_volume.insert("C:\\Temp");
  const std::string temporary = kMessage + "." + kRun + ".tmp";
  platform.failures.insert("MoveOver " + temporary + " -> " + kMessage);
  FilterWrites(kClean);
  EXPECT_EQ(Main(platform), kExitTrapped);
  EXPECT_EQ(Content(kMessage), kOriginal);
  EXPECT_FALSE(Has(temporary));
  EXPECT_TRUE(Has(kOutput));

  for (bool other_volume : {false, true}) {
    SetUp();
    if (other_volume) platform.other_volume.insert("C:\\Temp");
    platform.files[kMessage].read_only = true;
    FilterWrites(kClean);
    EXPECT_EQ(Main(platform), kExitTrapped);
    EXPECT_EQ(Content(kMessage), kOriginal);
    EXPECT_FALSE(Has(temporary));
    EXPECT_TRUE(Has(kOutput));
  }
}

TEST_F(ScanTest, UnusableTempPathEndsInTheTrapBeforeAnythingRuns) {
  platform.profile["TEMPPATH"] = "C:\\Missing";
  FilterWrites(kClean);
  EXPECT_EQ(Main(platform), kExitTrapped);
  EXPECT_TRUE(platform.started.empty());
  EXPECT_EQ(platform.events.size(), 1u);
  EXPECT_EQ(Content(kMessage), kOriginal);
}

TEST_F(ScanTest, RunsThatBothFallBackNeverShareAFile) {
  // Run A falls back and, while its filter runs, run B falls back as well.
  platform.guid_status = 1;
  const std::string second_pickup = "D:\\Data\\QUEUES\\Conn\\Inbound\\B.MAI";
  const std::string second_message = "D:\\Data\\QUEUES\\Conn\\Inbound\\Messages\\B.MAI";
  platform.AddFile(second_pickup, "pickup B");
  platform.AddFile(second_message, "Subject: B\r\n\r\nB\r\n");
  std::vector<std::string> batches;
  int depth = 0;
  platform.on_start = [&] {
    const std::string name = depth == 0 ? "00000000" : "00000000-1";
    batches.push_back(platform.files["C:\\Temp\\" + name + ".BAT"].content);
    platform.files["C:\\Temp\\" + name + ".MAI"] =
        FakeFile{depth == 0 ? kFlagged : "X-Spam-Flag: YES\r\nSubject: B\r\n\r\nB\r\n", false};
    if (depth++ == 0) {
      platform.command_line = "B.MAI Conn";
      EXPECT_EQ(Main(platform), kExitNormal);
    }
  };
  EXPECT_EQ(Main(platform), kExitNormal);
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_NE(batches[0].find("\\N.MAI\" > \"C:\\Temp\\00000000.MAI\"\r\n"), std::string::npos);
  EXPECT_NE(batches[1].find("\\B.MAI\" > \"C:\\Temp\\00000000-1.MAI\"\r\n"), std::string::npos);
  EXPECT_EQ(batches[1].find("N.MAI"), std::string::npos);
  EXPECT_EQ(Content("C:\\Q\\Messages\\00000000.MAI"), kOriginal);
  EXPECT_EQ(Content("C:\\Q\\Messages\\00000000-1.MAI"), "Subject: B\r\n\r\nB\r\n");

  // A later fallback run does not overwrite what the earlier ones quarantined.
  SetUp();
  platform.guid_status = 1;
  FilterWrites(kFlagged);
  platform.on_start = [&] {
    platform.files["C:\\Temp\\00000000-2.MAI"] = FakeFile{kFlagged, false};
  };
  EXPECT_EQ(Main(platform), kExitNormal);
  EXPECT_EQ(Content("C:\\Q\\00000000.MAI"), "pickup");
  EXPECT_EQ(Content("C:\\Q\\00000000-2.MAI"), "pickup");
}

TEST(HeaderFieldLine, NeedsAPrintableNameWithoutBlanksBeforeTheColon) {
  EXPECT_TRUE(IsHeaderFieldLine("Subject: x"));
  EXPECT_TRUE(IsHeaderFieldLine("X-Spam-Flag:YES"));
  EXPECT_FALSE(IsHeaderFieldLine(""));
  EXPECT_FALSE(IsHeaderFieldLine(":x"));
  EXPECT_FALSE(IsHeaderFieldLine("From alice Mon Dec 7"));
  EXPECT_FALSE(IsHeaderFieldLine("Sub\tject: x"));
  EXPECT_FALSE(IsHeaderFieldLine("Sub\x7fject: x"));
}

}  // namespace
}  // namespace saplugin
