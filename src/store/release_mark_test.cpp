#include "store/release_mark.h"

#include <gtest/gtest.h>

#include <tuple>

#include "memory_file_system.h"
#include "store/quarantine_store.h"

namespace saplugin {
namespace {

// What the mark of Conn's IN_X.MAI makes of a message queued: its own bytes
// ("abc") pass, however late their run comes; other bytes are scanned, the
// mark kept in its day (or past it for a release cut short) and taken away
// after. A connector's name and the message's never run together into
// another's mark (Conn_IN's X.MAI). Each row: where the message is queued, its
// bytes, the mark's age in seconds, whether its release was cut short, and the verdict.
TEST(ReleaseMark, PassesOnlyItsOwnMessageHoweverLateItComes) {
  using V = MarkVerdict;
  const std::string id = "0123456789ABCDEF0123456789ABCDEF", abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::tuple<std::string, const char*, std::int64_t, bool, MarkVerdict> rows[] = {
      {"Conn\\IN_X.MAI", "abc", 0, false, V::kPasses},
      {"Conn\\IN_X.MAI", "abc", 3 * kReleaseMarkLifetime, false, V::kPasses},
      {"Conn\\IN_X.MAI", "abd", 0, false, V::kOtherMessage},
      {"Conn\\IN_X.MAI", "abc ", kReleaseMarkLifetime, false, V::kOtherMessage},
      {"Conn\\IN_X.MAI", "abd", kReleaseMarkLifetime + 1, false, V::kExpired},
      {"Conn\\IN_X.MAI", "abd", kReleaseMarkLifetime + 1, true, V::kOtherMessage},
      {"Other\\IN_X.MAI", "abc", 0, false, V::kNone},
      {"Conn_IN\\X.MAI", "abc", 0, false, V::kNone}};
  for (const auto& [queued, bytes, age, cut_short, verdict] : rows) {
    test::MemoryFileSystem fs;
    const QueuePaths queue = MakeQueuePaths("C:\\Data", queued.substr(0, queued.find('\\')), queued.substr(queued.find('\\') + 1));
    fs.Put(queue.message_file, bytes);
    fs.AddFolder("C:\\Q\\Messages");
    WriteReleaseMark(fs, "C:\\Q\\", "Conn", "IN_X.MAI", {id, 3, abc});
    QuarantineRecord record;
    record.state = cut_short ? EntryState::kReleasing : EntryState::kWhole;
    WriteQuarantineRecord(fs, "C:\\Q\\", id, record);
    EXPECT_EQ(CheckReleaseMark(fs, "C:\\Q\\", queue, fs.now + age), verdict) << queued << " " << bytes << " " << age;
  }
}

}  // namespace
}  // namespace saplugin
