#include "quarantine/commands.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <sstream>

#include "memory_platform.h"
#include "store/quarantine_store.h"

namespace saplugin {
namespace {

// saquarantine over a quarantine in memory: A quarantined three days and ten
// minutes ago, B three days less ten minutes ago (by their message files'
// last write), C with its pickup file and record alone, D without
// SpamAssassin's output, and the lock's file of an entry never made;
// QUARANTINEDAYS=3. Each row: the command's words,
// its status, the ids whose message file is left after it, what its output
// must hold, and its standard error.
TEST(Saquarantine, AgesInDaysOfTheLastWriteAndTheCopiesAnEntryNeeds) {
  const std::string a(32, 'A'), b(32, 'B'), c(32, 'C'), d(32, 'D'), e(32, 'E');
  const struct {
    std::vector<std::string> words;
    int status;
    std::string left, output, errors;
  } cases[] = {
      {{"list", "--older-than", "3"}, 0, "A B D", a, "saquarantine: 1 message listed\n"},
      {{"list", "--newer-than", "3"}, 0, "A B D", b, "saquarantine: 3 messages listed\n"},  // B, C and D
      // The lock's file a killed program left two days ago goes with the purge.
      {{"purge"}, 0, "B D", "removed the leftover C:\\Q\\Messages\\" + e + ".LCK",
       "saquarantine: purged 1 message, 99 bytes, older than 3 days, and 0 expired release marks\n"},
      {{"purge", "--days", "0"}, 0, "A B D", "", "saquarantine: --days 0 keeps every message: no message is purged\n"
       "saquarantine: purged 0 messages, 0 bytes, and 0 expired release marks\n"},
      {{"purge", "--days", "4"}, 0, "A B D", "", "saquarantine: purged 0 messages, 0 bytes, older than 4 days, and 0 expired release marks\n"},
      {{"show", c}, kQuarantineNotFound, "A B D", "Missing: ", ""},
      {{"show", d}, 0, "A B D", "Header section (the message):\n  Subject: D", ""},
      // SpamAssassin's figures as its status field gives them, each within its bound.
      {{"show", b}, 0, "A B D", "  score " + std::string(40, '9') + " (5.0 required), rules: GTUBE\n", ""},
  };
  for (const auto& row : cases) {
    test::MemoryPlatform platform;
    platform.fs.AddFolder("C:\\Temp");
    platform.fs.AddFolder("C:\\Q\\Messages");
    platform.PutConfiguration("[SPAMASSASSIN Plugin Config]|QUARANTINEPATH=C:\\Q|TEMPPATH=C:\\Temp|QUARANTINEDAYS=3");
    const std::int64_t now = std::time(nullptr), days = 3 * 24 * 60 * 60;
    for (const auto& [id, age] : {std::pair{a, days + 600}, {b, days - 600}, {c, std::int64_t{0}}, {d, std::int64_t{0}}}) {
      platform.fs.now = now - age;  // each file's last write
      platform.fs.Put(QuarantinePickupFile("C:\\Q\\", id), "pickup\r\n");
      if (id != c) platform.fs.Put(QuarantineMessageFile("C:\\Q\\", id), "Subject: " + id.substr(0, 1) + "\r\n\r\nbody\r\n");
      const std::string status = "X-Spam-Status: Yes, score=" + std::string(50, '9') + " required=5.0 tests=GTUBE\r\n";
      if (id != c && id != d) platform.fs.Put(QuarantineOutputFile("C:\\Q\\", id), (id == b ? status : "") + "X-Spam-Flag: YES\r\n\r\nbody\r\n");
      QuarantineRecord record;
      record.connector = "SMTP";
      record.name = id.substr(0, 1) + ".MAI";
      WriteQuarantineRecord(platform.fs, "C:\\Q\\", id, record);
    }
    platform.fs.Put("C:\\Q\\Messages\\" + e + ".LCK", "", now - 2 * 24 * 60 * 60);
    platform.fs.now = now;
    std::ostringstream out, err;
    const std::string command = row.words[0] + (row.words.size() > 1 ? " " + row.words[1] : "");
    EXPECT_EQ(RunQuarantineCommand(platform, row.words, out, err), row.status) << command << ": " << out.str() << err.str();
    std::string left;
    for (const std::string& id : {a, b, c, d}) {
      if (platform.fs.FileExists(QuarantineMessageFile("C:\\Q\\", id))) left += (left.empty() ? "" : " ") + id.substr(0, 1);
    }
    EXPECT_EQ(left, row.left) << command;
    EXPECT_EQ(err.str(), row.errors) << command;
    EXPECT_NE(out.str().find(row.output), std::string::npos) << command << ": " << out.str();
    // The list names only the messages of its age, each with its local time to the minute and its offset.
    if (row.words[0] == "list") {
      EXPECT_EQ(out.str().find(row.output == a ? b : a), std::string::npos) << command << ": " << out.str();
      EXPECT_TRUE(std::regex_search(out.str(), std::regex("^[A-D]{32}  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d[+-]\\d\\d:\\d\\d  "))) << out.str();
    }
  }
}

}  // namespace
}  // namespace saplugin
