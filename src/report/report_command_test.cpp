#include "report/report_command.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "memory_platform.h"
#include "store/quarantine_store.h"

namespace saplugin {
namespace {

// The report over a quarantine in memory: the page offers the newest twenty
// of its messages by their ids, and counts them all.
TEST(ReportCommand, ThePageListsTheNewestTwentyQuarantined) {
  test::MemoryPlatform platform;
  platform.fs.AddFolder("C:\\Q\\Messages");
  platform.fs.AddFolder("C:\\Logs");
  platform.fs.AddFolder("C:\\Out");
  platform.PutConfiguration("[SPAMASSASSIN Plugin Config]|QUARANTINEPATH=C:\\Q|SCANLOGPATH=C:\\Logs");
  std::vector<std::string> ids;
  for (int i = 0; i < 21; ++i) {
    char id[33];
    std::snprintf(id, sizeof id, "%032X", i + 1);
    ids.push_back(id);
    platform.fs.now += 60;  // each newer than the one before
    platform.fs.Put(QuarantinePickupFile("C:\\Q\\", id), "pickup\r\n");
    platform.fs.Put(QuarantineMessageFile("C:\\Q\\", id), "Subject: s\r\n\r\nbody\r\n");
    platform.fs.Put(QuarantineOutputFile("C:\\Q\\", id), "X-Spam-Flag: YES\r\n\r\nbody\r\n");
    QuarantineRecord record;
    record.connector = "SMTP";
    record.name = "N.MAI";
    WriteQuarantineRecord(platform.fs, "C:\\Q\\", id, record);
  }
  std::ostringstream out, err;
  ASSERT_EQ(RunReportCommand(platform, {"--out", "C:\\Out\\page.html"}, out, err), 0) << err.str();
  const std::string page = platform.fs.Bytes("C:\\Out\\page.html");
  int listed = 0;
  for (const std::string& id : ids) listed += page.find(id) != std::string::npos;
  EXPECT_EQ(listed, 20);
  EXPECT_EQ(page.find(ids.front()), std::string::npos);  // the oldest
  EXPECT_NE(page.find(ids.back()), std::string::npos);
  // Left out, the quarantine is not read.
  ASSERT_EQ(RunReportCommand(platform, {"--no-quarantine", "--out", "C:\\Out\\page.html"}, out, err), 0) << err.str();
  EXPECT_EQ(platform.fs.Bytes("C:\\Out\\page.html").find(ids.back()), std::string::npos);
}

}  // namespace
}  // namespace saplugin
