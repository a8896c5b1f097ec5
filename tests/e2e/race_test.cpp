// The quarantine under programs that run at the same time, as processes: a
// release started at each moment of the run that quarantines the message,
// two releases of one message, a purge racing a release, and programs killed
// at chosen system calls; and the marks that let a released message pass.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "e2e/quarantine.h"
#include "store/scan_log.h"

namespace saplugin {
namespace {

namespace fs = std::filesystem;

// A spam message of about the size, so that each copy of it takes a while.
std::string LargeSpam(std::size_t size) {
  std::string message = kSpam;
  const std::string line(76, 'x');
  while (message.size() < size) message += line + "\r\n";
  return message;
}

int Start(Sandbox& box, const std::vector<std::string>& words, const std::string& program, const std::string& log) {
  std::vector<std::string> line{box.bin + "/" + program};
  line.insert(line.end(), words.begin(), words.end());
  return StartProcess(line, box.environment, box.folder / (log + ".err"), box.folder.path, box.folder / (log + ".out"));
}

// Runs saplugin on the queued message: its exit status and the outcome its scan-log line names ("0 released").
std::string RunLogged(Sandbox& box, const std::string& name) {
  const int status = box.Run({name, box.connector}).status;
  const std::vector<std::string> log = box.ScanLogLines();
  return std::to_string(status) + " " + (log.empty() ? "(no log)" : ParseCsvLine(log.back())[kLogOutcome]);
}

// Where the message is: "queue" (both files, as it arrived), "quarantine" (its
// message file whole there), "both", or what is wrong.
std::string WhereIs(const Sandbox& box, const std::string& name, const std::string& id, const std::string& message) {
  const bool queued = ReadFile(box.messages + "/" + name) == message && ReadFile(box.inbound + "/" + name) == "pickup of " + name + "\r\n";
  const bool kept = !id.empty() && ReadFile(box.quarantine + "/Messages/" + id + ".MAI") == message;
  if (!queued && (Exists(box.messages + "/" + name) || Exists(box.inbound + "/" + name))) return "a part in the queue";
  return queued && kept ? "both" : queued ? "queue" : kept ? "quarantine" : "neither";
}

// The queue's folders hold nothing but the message's own two files.
void ExpectNoStrays(const Sandbox& box, const std::string& name, const std::string& context) {
  for (const std::string& folder : {box.messages, box.inbound}) {
    for (const std::string& file : FilesIn(folder)) EXPECT_EQ(file, name) << context << " " << folder;
  }
}

// A release started as each part of a large message's quarantine entry
// appears, and once the queue's pickup file is gone: the release waits for
// the run, the message is released once, and its next run passes it.
TEST(QuarantineRace, AReleaseDuringTheQuarantiningRunWaitsForItAndLosesNothing) {
  Sandbox box;
  box.Configure();
  const std::string message = LargeSpam(24 << 20);
  const char* const stages[] = {"record", "pickup copy", "message copy", "output copy", "queue pickup gone"};
  for (int trial = 0; trial < 10; ++trial) {
    const std::string stage = stages[trial % 5], name = "R" + std::to_string(trial) + ".MAI", context = stage + " " + name;
    box.Queue(name, message);
    const int run = Start(box, {name, box.connector}, "saplugin", "run");
    std::string id;
    bool reached = false;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60); !reached && std::chrono::steady_clock::now() < until;) {
      if (id.empty()) id = IdOf(box, name);
      const auto files = id.empty() ? std::vector<std::string>() : EntryFiles(box, id);
      reached = !id.empty() && (stage == "record"         ? true
                                : stage == "pickup copy"  ? Exists(files[0])
                                : stage == "message copy" ? Exists(files[1])
                                : stage == "output copy"  ? Exists(files[2])
                                                          : !Exists(box.inbound + "/" + name));
      if (!reached) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_TRUE(reached) << context;
    const int release = Start(box, {"release", id}, "saquarantine", "release");
    EXPECT_EQ(WaitProcess(run), 0) << context;
    EXPECT_EQ(WaitProcess(release), 0) << context << ReadFile(box.folder / "release.err");
    EXPECT_TRUE(Has(ReadFile(box.folder / "release.out"), ("released " + id).c_str())) << context;
    EXPECT_EQ(WhereIs(box, name, "", message), "queue") << context;
    for (const std::string& file : EntryFiles(box, id)) EXPECT_FALSE(Exists(file)) << context << " " << file;
    ExpectNoStrays(box, name, context);
    // Its next run passes it unscanned, once.
    EXPECT_EQ(RunLogged(box, name), "0 released") << context;
    EXPECT_EQ(WhereIs(box, name, "", message), "queue") << context;
    fs::remove(box.messages + "/" + name);
    fs::remove(box.inbound + "/" + name);
  }
}

// Two releases of one message at once, and a purge racing a release: the
// message reaches the queue once or not at all, never a part of it, and its
// mark is there exactly when it did.
TEST(QuarantineRace, TwoReleasesOrAPurgeAndAReleaseAtOnceNeverDoubleOrSplitTheMessage) {
  for (int trial = 0; trial < 16; ++trial) {
    const bool purge = trial % 2 == 1;
    const std::string context = (purge ? "purge and release " : "two releases ") + std::to_string(trial);
    QuarantineBox box(LinuxBuild());
    const std::string id = box.Id("A.MAI"), mark = box.quarantine + "/Released/" + box.connector + "/A.MAI";
    const int first = Start(box, purge ? std::vector<std::string>{"purge", "--days", "1"} : std::vector<std::string>{"release", id}, "saquarantine", "first");
    const int second = Start(box, {"release", id}, "saquarantine", "second");
    const int first_status = WaitProcess(first), second_status = WaitProcess(second);
    const std::string said = ReadFile(box.folder / "first.out") + ReadFile(box.folder / "second.out");
    const std::string where = WhereIs(box, "A.MAI", id, box.originals.at("A.MAI"));
    ExpectNoStrays(box, "A.MAI", context);
    EXPECT_EQ(Exists(mark), where == "queue") << context;
    if (purge) {
      EXPECT_EQ(first_status, 0) << context << ReadFile(box.folder / "first.err");
      // The release won, or the purge took the message first and the release found nothing.
      EXPECT_TRUE((where == "queue" && second_status == 0) || (where == "neither" && second_status == 1))
          << context << " " << where << " " << second_status << ReadFile(box.folder / "second.err");
    } else {
      EXPECT_EQ(where, "queue") << context;
      // One put it in; the other found it released, or gone.
      const int once = static_cast<int>(std::count(said.begin(), said.end(), '\n'));
      EXPECT_TRUE(Has(said, ("released " + id + " to ").c_str())) << context << said;
      EXPECT_EQ(said.find("released " + id + " to "), said.rfind("released " + id + " to ")) << context << said;
      EXPECT_TRUE(first_status + second_status <= 1 && once >= 1) << context << first_status << second_status;
    }
    for (const std::string& file : EntryFiles(box, id)) EXPECT_FALSE(Exists(file)) << context << " " << file;
  }
}

// Marks past their day: one whose message still waits in the queue is kept
// for its run, which passes the message however late it comes; sacheck counts
// the other, which the run that finds other bytes under its name takes away.
// (Which mark passes which message is the unit suite's table.)
TEST(ReleaseMark, PastItsDayAMarkIsKeptOnlyWhileItsMessageWaits) {
  QuarantineBox box(LinuxBuild());
  ASSERT_EQ(box.Quarantine({"release", "{B}", "{C}"}).status, 0);
  const std::string marks = box.quarantine + "/Released/" + box.connector + "/";
  fs::remove(box.inbound + "/C.MAI");
  for (const char* name : {"B.MAI", "C.MAI"}) fs::last_write_time(marks + name, fs::file_time_type::clock::now() - std::chrono::hours(25));
  const RunResult check = box.Run({}, "sacheck");
  EXPECT_TRUE(Has(check.output, "1 past their day") && Has(check.output, "C.MAI")) << check.output;
  EXPECT_EQ(RunLogged(box, "B.MAI"), "0 released");
  box.Queue("C.MAI", kSpam + "Other bytes.\r\n");
  EXPECT_EQ(RunLogged(box, "C.MAI"), "0 quarantined");
  EXPECT_EQ(FilesIn(marks), std::set<std::string>{});
}

// The audit trail names the account that ran the release, not what its environment claims.
TEST(QuarantineAccount, AReleaseByAnotherUserNamesThatUser) {
  QuarantineBox box(LinuxBuild());
  const uid_t nobody = 65534;
  ASSERT_EQ(chown(box.folder.path.c_str(), nobody, nobody), 0);
  for (const auto& entry : fs::recursive_directory_iterator(box.folder.path)) ASSERT_EQ(lchown(entry.path().c_str(), nobody, nobody), 0);
  box.environment["USER"] = box.environment["LOGNAME"] = box.environment["USERNAME"] = "ceo";
  box.tracer = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  const RunResult run = box.Quarantine({"release", "{A}"});
  ASSERT_EQ(run.status, 0) << run.standard_error;
  EXPECT_TRUE(Has(box.Events().back(), ", by nobody.")) << box.Events().back();
  EXPECT_EQ(ParseCsvLine(box.ScanLogLines().back())[kLogReason], "released from the quarantine by nobody");
}


// The mail server's turn: a pickup file in the queue starts a run, which must
// pass the released message unscanned, as it arrived (unless only delivered,
// as after a run that stopped); the server then delivers it. Answers how many
// times it delivered the message.
int Serve(QuarantineBox& box, const std::string& name, const std::string& context, bool run = true) {
  if (!Exists(box.inbound + "/" + name)) return 0;
  if (run) {
    EXPECT_EQ(RunLogged(box, name), "0 released") << context;
  }
  EXPECT_EQ(ReadFile(box.messages + "/" + name), box.originals.at(name)) << context;
  fs::remove(box.inbound + "/" + name);
  fs::remove(box.messages + "/" + name);
  return 1;
}

// A program killed at an exact step (the n-th call of a system call, by
// strace), then what the operator and the mail server do next; each step
// notes its exit status ("serve" and "deliver": how many times the server
// delivered the message). At the end the queue holds no stray file.
struct KillCase {
  std::string program, call;
  int n;
  std::string steps, expected;
};

TEST(QuarantineKill, AProgramKilledAtEachStepLeavesTheMessageWholeAndDeliveredOnce) {
  // A release: rename 1 the mark, 2 the record's "releasing"; link 1 the message file, unlink 1 its passing
  // name, link 2 the pickup file, unlink 2 its passing name; rename 3 "released"; unlink 3 on the copies.
  // A quarantining run: rename 1 the record's "quarantining"; copy_file_range 1-2 the pickup file, 3-4 the
  // message, 5-6 the output; unlink 1 the queue's pickup file, 2 its message file; rename 2 the record.
  const KillCase cases[] = {
      {"release", "link", 1, "age-mark purge release serve", "age-mark purge=0 release=0 serve=1"},
      {"release", "link", 2, "release serve", "release=0 serve=1"},
      {"release", "link", 2, "delete serve", "delete=0 serve=0"},
      {"release", "unlink", 1, "release serve", "release=0 serve=1"},
      {"release", "unlink", 2, "serve release", "serve=1 release=0"},
      {"release", "rename", 3, "serve release serve", "serve=1 release=0 serve=0"},
      {"release", "rename", 3, "serve delete", "serve=1 delete=0"},
      {"release", "unlink", 3, "serve release", "serve=1 release=0"},
      {"saplugin", "unlink", 2, "release serve", "release=0 serve=1"},
      {"saplugin", "unlink", 1, "release", "release=3"},
      {"saplugin", "copy_file_range", 3, "deliver release-force delete", "deliver=1 release-force=3 delete=0"},
      {"saplugin", "rename", 2, "release release-force serve", "release=3 release-force=0 serve=1"},
  };
  for (const KillCase& c : cases) {
    const std::string context = c.program + " killed at " + c.call + " " + std::to_string(c.n) + ", then " + c.steps;
    QuarantineBox box(LinuxBuild());
    std::string name = "A.MAI", id = box.Id("A.MAI");
    box.tracer = KillAt(c.call, c.n);
    if (c.program == "saplugin") {
      name = "K.MAI";
      box.originals[name] = kSpam + "Killed.\r\n";
      box.Queue(name, box.originals[name]);
      EXPECT_EQ(box.Run({name, box.connector}).status, 128 + SIGKILL) << context;
      id = IdOf(box, name);
    } else {
      EXPECT_EQ(box.Quarantine({"release", id}).status, 128 + SIGKILL) << context;
    }
    box.tracer.clear();
    ASSERT_FALSE(id.empty()) << context;
    std::string done;
    std::istringstream steps(c.steps);
    for (std::string step; steps >> step;) {
      int result = 0;
      if (step == "age-mark") {
        fs::last_write_time(box.quarantine + "/Released/" + box.connector + "/" + name, fs::file_time_type::clock::now() - std::chrono::hours(25));
        done += step + " ";
        continue;
      }
      if (step == "serve" || step == "deliver") {
        result = Serve(box, name, context, step == "serve");
      } else if (step == "purge") {
        result = box.Quarantine({"purge"}).status;
      } else {
        const RunResult run = box.Quarantine(step == "release-force" ? std::vector<std::string>{"release", "--force", id}
                                                                     : std::vector<std::string>{step, id});
        result = run.status;
      }
      done += step + "=" + std::to_string(result) + " ";
    }
    EXPECT_EQ(done, c.expected + " ") << context;
    ExpectNoStrays(box, name, context);
    // Nothing is left in the queue without its pickup file.
    EXPECT_EQ(Exists(box.messages + "/" + name), Exists(box.inbound + "/" + name)) << context;
  }
}

}  // namespace
}  // namespace saplugin
