#include "store/release_mark.h"

#include <gtest/gtest.h>

#include "memory_file_system.h"
#include "store/quarantine_store.h"

namespace saplugin {
namespace {

// What a mark makes of the message queued under its name: its own bytes pass,
// however late their run comes; other bytes are scanned, the mark kept in its
// day (or past it for a release cut short) and taken away after. A connector's
// name and the message's never run together into another's mark ("Conn" and
// "IN_X.MAI" against "Conn_IN" and "X.MAI"). Each row: the mark's connector
// and name, the queued message's, its bytes (the mark's are "abc"), the mark's
// age in seconds, whether its release was cut short, and the verdict.
TEST(ReleaseMark, PassesOnlyItsOwnMessageHoweverLateItComes) {
  using V = MarkVerdict;
  const std::string id = "0123456789ABCDEF0123456789ABCDEF", abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const struct {
    const char *mark, *queued, *bytes;
    std::int64_t age;
    bool cut_short;
    MarkVerdict verdict;
  } rows[] = {
      {"Conn\\N.MAI", "Conn\\N.MAI", "abc", 0, false, V::kPasses},
      {"Conn\\N.MAI", "Conn\\N.MAI", "abc", 3 * kReleaseMarkLifetime, false, V::kPasses},
      {"Conn\\N.MAI", "Conn\\N.MAI", "abd", 0, false, V::kOtherMessage},
      {"Conn\\N.MAI", "Conn\\N.MAI", "abc ", kReleaseMarkLifetime, false, V::kOtherMessage},
      {"Conn\\N.MAI", "Conn\\N.MAI", "abd", kReleaseMarkLifetime + 1, false, V::kExpired},
      {"Conn\\N.MAI", "Conn\\N.MAI", "abd", kReleaseMarkLifetime + 1, true, V::kOtherMessage},
      {"Conn\\N.MAI", "Other\\N.MAI", "abc", 0, false, V::kNone},
      {"Conn\\IN_X.MAI", "Conn_IN\\X.MAI", "abc", 0, false, V::kNone},
  };
  for (const auto& row : rows) {
    test::MemoryFileSystem fs;
    const std::string mark = row.mark, queued = row.queued;
    const QueuePaths queue = MakeQueuePaths("C:\\Data", queued.substr(0, queued.find('\\')), queued.substr(queued.find('\\') + 1));
    fs.Put(queue.message_file, row.bytes);
    fs.AddFolder("C:\\Q\\Messages");
    WriteReleaseMark(fs, "C:\\Q\\", mark.substr(0, mark.find('\\')), mark.substr(mark.find('\\') + 1), {id, 3, abc});
    QuarantineRecord record;
    record.state = row.cut_short ? EntryState::kReleasing : EntryState::kWhole;
    WriteQuarantineRecord(fs, "C:\\Q\\", id, record);
    EXPECT_EQ(CheckReleaseMark(fs, "C:\\Q\\", queue, fs.now + row.age), row.verdict) << row.mark << " " << row.queued << " " << row.age;
  }
}

}  // namespace
}  // namespace saplugin
