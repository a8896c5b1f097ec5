#include <gtest/gtest.h>

#include <ctime>

#include "memory_platform.h"
#include "quarantine/release.h"
#include "quarantine/release_plan.h"
#include "run/release_request.h"
#include "store/release_token.h"
#include "store/site_key.h"
#include "store/release_mark.h"

namespace saplugin {
namespace {

using test::Killed;

const std::string kId = "0123456789ABCDEF0123456789ABCDEF";
const std::string kMessage = "Subject: cheap\r\n\r\nbuy now\r\n", kPickup = "pickup of N.MAI\r\n", kOutput = "X-Spam-Flag: YES\r\n\r\nbuy now\r\n";

// One quarantined message, its connector's queue, and the run and the mail
// server that take the message whenever its pickup file is in the queue.
struct World {
  test::MemoryPlatform platform;
  test::MemoryFileSystem& fs = platform.fs;
  PluginOptions options;
  QueuePaths queue = MakeQueuePaths("C:\\Server", "Conn", "N.MAI");
  int delivered = 0, scanned = 0;  // times this message was delivered, or scanned again (quarantined anew)

  World() {
    platform.data_directory = "C:\\Server";
    options.QuarantinePath = "C:\\Q\\";
    fs.AddFolder("C:\\Server\\QUEUES\\Conn\\Inbound\\Messages");
    fs.AddFolder("C:\\Q\\Messages");
    fs.Put(QuarantinePickupFile("C:\\Q\\", kId), kPickup);
    fs.Put(QuarantineMessageFile("C:\\Q\\", kId), kMessage);
    fs.Put(QuarantineOutputFile("C:\\Q\\", kId), kOutput);
    QuarantineRecord record;
    record.connector = "Conn";
    record.name = "N.MAI";
    record.sizes = std::to_string(kPickup.size()) + "," + std::to_string(kMessage.size()) + "," + std::to_string(kOutput.size());
    WriteQuarantineRecord(fs, "C:\\Q\\", kId, record);
  }
  // "released", "before" (an earlier release did it), "error N: why", or "killed".
  std::string Release(bool force = false) {
    try {
      return ReleaseMessage(platform, fs, options, kId, {"", "CORP\\op", force}, nullptr).before ? "before" : "released";
    } catch (const Error& error) {
      return "error " + std::to_string(error.Number()) + ": " + error.Description();
    } catch (const Killed&) {
      return "killed";
    }
  }
  void Serve() {
    if (!fs.FileExists(queue.pickup_file)) return;
    const MarkVerdict mark = CheckReleaseMark(fs, "C:\\Q\\", queue, fs.now);
    if (mark == MarkVerdict::kPasses || mark == MarkVerdict::kExpired) fs.DeleteFile(ReleaseMarkFile("C:\\Q\\", "Conn", "N.MAI"));
    if (fs.Bytes(queue.message_file) == kMessage) ++(mark == MarkVerdict::kPasses ? delivered : scanned);
    for (const std::string& file : {queue.pickup_file, queue.message_file}) {
      if (fs.FileExists(file)) fs.DeleteFile(file);
    }
  }
  // Every file left in the quarantine and the queue.
  std::string Left() {
    std::string left;
    for (const auto& [key, file] : fs.files) left += file.path + " ";
    return left;
  }
  // A hook that acts at the n-th step (before it, then after it, counted in turn) of the release to come.
  void At(int n, std::function<void()> act) {
    auto seen = std::make_shared<int>(0);
    fs.hook = [=](const std::string&, const std::string&, bool) {
      if ((*seen)++ == n) act();
    };
  }
};

int StepsOfAWholeRelease() {
  World world;
  int steps = 0;
  world.fs.hook = [&](const std::string&, const std::string&, bool) { ++steps; };
  EXPECT_EQ(world.Release(), "released");
  return steps;
}

const auto kKill = [] { throw Killed(); };
const auto kFull = [] { throw Error(112, "test", "There is not enough space on the disk."); };

// However a release was cut short, and whatever the next one met, the next
// whole release finishes the work: the message delivered exactly once, never
// quarantined again, nothing of it left. So too when the run comes for the
// message more than a day late (the server was down, the clock moved): the
// release was cut short after both queue files were in, and the next one only
// finishes it.
//
// How the second release goes (one test each, so that they run side by side):
// whole, or at a step a full disk, a kill, a new message of that name
// arriving, or a full disk with a kill while the release takes back what it
// did; or whole with the run a day late.
class CutShortThen : public ::testing::TestWithParam<const char*> {};
TEST_P(CutShortThen, AtEachStepTheMessageIsStillDeliveredOnce) {
  const std::string how = GetParam();
  const int steps = StepsOfAWholeRelease();
  ASSERT_GT(steps, 20);
  // A kill after a step leaves what a kill before the next one does: only those are tried.
  for (int first = 0; first <= steps; first += first ? 2 : 1) {
    // The second release at a step, or whole (-1).
    for (int second = -1; second < steps; ++second) {
      if (second < 0 ? how != "full" && how != "late" : how == "late") continue;
      World world;
      const std::string row = "cut at " + std::to_string(first) + ", then " + how + " at " + std::to_string(second);
      world.At(first, kKill);
      world.Release();
      world.fs.hook = nullptr;
      if (how == "late") world.fs.now += 3 * kReleaseMarkLifetime;
      world.Serve();
      if (second >= 0 && how == "arriving") {
        world.At(second, [&] {
          if (world.fs.FileExists(world.queue.pickup_file) || world.fs.FileExists(world.queue.message_file)) return;
          world.fs.Put(world.queue.message_file, "another message of that name");
          world.fs.Put(world.queue.pickup_file, "its pickup");
        });
      } else if (second >= 0) {
        auto failures = std::make_shared<int>(0);
        const bool then_killed = how == "full, then killed", kill = how == "kill";
        auto seen = std::make_shared<int>(0);
        world.fs.hook = [=](const std::string&, const std::string&, bool) {
          const int at = (*seen)++;
          if (at == second) kill ? kKill() : (++*failures, kFull());
          if (then_killed && *failures && at == second + 2) kKill();
        };
      } else {
        world.fs.hook = nullptr;
      }
      world.Release();
      world.fs.hook = nullptr;
      world.Serve();
      const std::string last = world.Release();
      world.Serve();
      EXPECT_EQ(world.delivered, 1) << row << ": " << last;
      EXPECT_EQ(world.scanned, 0) << row;
      EXPECT_EQ(world.Left(), "") << row;
      if (::testing::Test::HasFailure()) return;
    }
  }
}
std::string HowItWent(const ::testing::TestParamInfo<const char*>& info) {
  const char* const names[] = {"Full", "Killed", "Arriving", "FullThenKilled", "Late"};
  return names[info.index];
}
INSTANTIATE_TEST_SUITE_P(Release, CutShortThen, ::testing::Values("full", "kill", "arriving", "full, then killed", "late"), HowItWent);

// The pickup file is in under its own name when the move fails on its second
// half (the passing name cannot go, the folder cannot be synced), and a run
// may take the message at once: the failed release must not leave the entry
// to be released again, which would deliver the message twice.
TEST(Release, AMoveThatFailsAfterThePickupFileIsInDeliversOnce) {
  for (const bool run_comes : {true, false}) {
    World world;
    world.fs.hook = [&](const std::string& step, const std::string&, bool done) {
      if (step != "MoveIfAbsent.unlink" || done || !world.fs.FileExists(world.queue.pickup_file)) return;
      world.fs.hook = nullptr;
      if (run_comes) world.Serve();
      kFull();
    };
    const std::string first = world.Release();
    world.fs.hook = nullptr;
    world.Serve();
    const std::string last = world.Release();
    world.Serve();
    EXPECT_EQ(std::pair(world.delivered, world.scanned), std::pair(1, 0)) << run_comes << ": " << first << ", then " << last;
  }
}

// What each state of the record and the queue makes of a release.
TEST(ReleasePlan, FromTheRecordTheCopiesTheQueueAndTheMark) {
  using Q = Queued;
  using R = ReleaseRefusal;
  const EntryState whole = EntryState::kWhole, half = EntryState::kQuarantining, releasing = EntryState::kReleasing;
  struct Row {
    EntryState state;
    bool copies_whole;
    Queued message, pickup;
    MarkOf mark;
    bool force;
    ReleaseRefusal refusal;
    bool put_message, put_pickup;
    EntryState on_failure;
    bool remove_on_failure;
  };
  const Row rows[] = {
      {whole, true, Q::kAbsent, Q::kAbsent, MarkOf::kNone, false, R::kNone, true, true, whole, true},
      {whole, true, Q::kOther, Q::kAbsent, MarkOf::kNone, false, R::kQueueFileThere, false, false, whole, false},
      {whole, true, Q::kSame, Q::kAbsent, MarkOf::kNone, false, R::kQueueFileThere, false, false, whole, false},
      {whole, true, Q::kSame, Q::kAbsent, MarkOf::kThis, false, R::kNone, false, true, whole, true},  // a failed release stopped
      {whole, true, Q::kAbsent, Q::kOther, MarkOf::kNone, false, R::kQueueFileThere, false, false, whole, false},
      {whole, true, Q::kAbsent, Q::kAbsent, MarkOf::kOtherCutShort, false, R::kOtherCutShort, false, false, whole, false},
      {whole, true, Q::kAbsent, Q::kAbsent, MarkOf::kOther, false, R::kNone, true, true, whole, true},
      {half, false, Q::kSame, Q::kAbsent, MarkOf::kNone, true, R::kCopiesNotWhole, false, false, whole, false},
      {half, true, Q::kSame, Q::kSame, MarkOf::kNone, false, R::kStillInQueue, false, false, whole, false},
      {half, true, Q::kAbsent, Q::kAbsent, MarkOf::kNone, false, R::kMaybeTakenOn, false, false, whole, false},
      {half, true, Q::kAbsent, Q::kAbsent, MarkOf::kNone, true, R::kNone, true, true, half, true},
      {half, true, Q::kSame, Q::kAbsent, MarkOf::kNone, false, R::kNone, false, true, half, false},
      {releasing, true, Q::kSame, Q::kSame, MarkOf::kThis, false, R::kNone, false, false, whole, false},
      {releasing, true, Q::kAbsent, Q::kAbsent, MarkOf::kNone, false, R::kNone, false, false, whole, false},  // a run took it
      {releasing, true, Q::kSame, Q::kAbsent, MarkOf::kThis, false, R::kNone, false, true, whole, true},
      {releasing, true, Q::kAbsent, Q::kAbsent, MarkOf::kThis, false, R::kNone, true, true, whole, true},
      {releasing, true, Q::kOther, Q::kAbsent, MarkOf::kThis, false, R::kQueueFileThere, false, false, whole, false},
  };
  for (const Row& row : rows) {
    ReleaseFacts facts;
    facts.state = row.state;
    facts.copies_whole = row.copies_whole;
    facts.message = row.message;
    facts.pickup = row.pickup;
    facts.mark = row.mark;
    facts.force = row.force;
    const ReleasePlan plan = PlanRelease(facts);
    const int line = static_cast<int>(&row - rows);
    EXPECT_EQ(plan.refusal, row.refusal) << line;
    EXPECT_EQ(std::pair(plan.put_message, plan.put_pickup), std::pair(row.put_message, row.put_pickup)) << line;
    if (plan.put_pickup) {
      EXPECT_EQ(std::pair(plan.on_failure, plan.remove_message_on_failure), std::pair(row.on_failure, row.remove_on_failure)) << line;
      facts.message_copy = false;
      EXPECT_EQ(PlanRelease(facts).refusal, R::kCopyMissing) << line;
      facts.message_copy = true;
      facts.pickup_copy = false;
      EXPECT_EQ(PlanRelease(facts).refusal, R::kCopyMissing) << line;
    }
  }
}

// A refused release changes nothing, and says why and what the operator can do. Each row: the entry ("half": its
// run stopped while quarantining it, "cut": before its copies were whole, "no-pickup", "no-message": a copy gone),
// the queue ("other": another message under its name, "same": its message and pickup file), "force", and the error.
TEST(Release, ARefusalChangesNothingAndSaysWhy) {
  const std::pair<const char*, const char*> rows[] = {
      {"other", "error 58: C:\\Server\\QUEUES\\Conn\\Inbound\\Messages\\N.MAI is there already: a queue file is never overwritten"},
      {"half same", "error 5: 0123456789ABCDEF0123456789ABCDEF was being quarantined when its run stopped, and the message is still in the queue"},
      {"half", "error 5: 0123456789ABCDEF0123456789ABCDEF's run stopped after it had copied the message, and the message is no longer in the "
               "queue: the mail server may have taken it on. If it has not, release --force 0123456789ABCDEF0123456789ABCDEF puts this copy"},
      {"half cut force", "error 5: 0123456789ABCDEF0123456789ABCDEF's run stopped while it was copying the message into the quarantine: "
                         "the copies are not whole"},
      {"no-pickup", "error 53: 0123456789ABCDEF0123456789ABCDEF cannot be released: its pickup file is missing from the quarantine"},
      {"no-message", "error 53: 0123456789ABCDEF0123456789ABCDEF cannot be released: its message is missing from the quarantine"}};
  for (const auto& [words, said] : rows) {
    World world;
    const auto has = [&, words = words](const char* word) { return std::string(words).find(word) != std::string::npos; };
    QuarantineRecord record = ReadQuarantineRecord(world.fs, "C:\\Q\\", kId);
    if (has("half")) record.state = EntryState::kQuarantining;
    if (has("cut")) record.sizes = "1,1,1";
    WriteQuarantineRecord(world.fs, "C:\\Q\\", kId, record);
    if (has("other")) world.fs.Put(world.queue.message_file, "another message of that name");
    for (const std::string& file : {world.queue.message_file, world.queue.pickup_file}) {
      if (has("same")) world.fs.Put(file, file == world.queue.pickup_file ? kPickup : kMessage);
    }
    if (has("no-pickup")) world.fs.DeleteFile(QuarantinePickupFile("C:\\Q\\", kId));
    if (has("no-message")) world.fs.DeleteFile(QuarantineMessageFile("C:\\Q\\", kId));
    std::string before;
    for (const auto& [key, file] : world.fs.files) before += file.path + "=" + file.bytes + " ";
    EXPECT_EQ(world.Release(has("force")).substr(0, std::strlen(said)), said) << words;
    std::string after;
    for (const auto& [key, file] : world.fs.files) after += file.path + "=" + file.bytes + " ";
    EXPECT_EQ(after, before) << words;
  }
}

// Delete of an entry whose run stopped between its two deletions removes the
// message file it left in the queue, and nothing that is not this message's.
TEST(Release, DeleteRemovesTheMessageFileItsRunLeftInTheQueue) {
  for (const char* queued : {kMessage.c_str(), "another message of that name"}) {
    World world;
    QuarantineRecord record = ReadQuarantineRecord(world.fs, "C:\\Q\\", kId);
    record.state = EntryState::kQuarantining;
    WriteQuarantineRecord(world.fs, "C:\\Q\\", kId, record);
    world.fs.Put(world.queue.message_file, queued);
    DeleteQuarantined(world.platform, world.fs, world.options, kId, 0);
    EXPECT_EQ(world.Left(), queued == kMessage ? "" : world.queue.message_file + " ") << queued;
  }
}

// A recipient's request from the digest releases as saquarantine does, once,
// and only with a token this site signed for a message it still holds.
TEST(Release, ARequestThroughTheDigestReleasesOnlyWithAGoodToken) {
  const struct {
    const char* token;  // whose token: good, twice, expired, forged, foreign (another key), gone, nokey
    std::string result;
    int delivered;
  } rows[] = {
      {"good", "I released " + kId + " for jane@example.com", 1},
      {"twice", "W refused: no longer held", 1},
      {"expired", "W refused: expired token", 0},
      {"forged", "W refused: forged token", 0},
      {"foreign", "W refused: forged token", 0},
      {"gone", "W refused: no longer held", 0},
      {"nokey", "W refused: no site key", 0},
  };
  for (const auto& row : rows) {
    World world;
    const std::string which = row.token;
    const std::string key = which == "nokey" ? std::string(64, '1') : SiteKey(world.platform, world.fs, "C:\\Q\\", true);
    ReleaseTicket ticket{which == "gone" ? std::string(32, 'E') : kId, "jane@example.com", std::time(nullptr) + (which == "expired" ? -1 : 86400)};
    std::string token = MakeReleaseToken(which == "foreign" ? std::string(64, '0') : key, ticket);
    if (which == "forged") token.back() = token.back() == 'A' ? 'B' : 'A';
    RequestResult result = HandleReleaseRequest(world.platform, world.fs, world.options, token);
    if (which == "twice") {
      result = HandleReleaseRequest(world.platform, world.fs, world.options, token);
    }
    world.Serve();
    EXPECT_EQ(std::string(result.level == EventLevel::kInformation ? "I " : "W ") + result.reason, row.result) << which;
    EXPECT_EQ(world.delivered, row.delivered) << which;
    EXPECT_EQ(result.entry.find(token), std::string::npos) << which;
    EXPECT_NE(result.entry.find(row.delivered && which == "good" ? "by jane@example.com through the digest" : "released nothing"), std::string::npos)
        << which << ": " << result.entry;
  }
}

}  // namespace
}  // namespace saplugin
