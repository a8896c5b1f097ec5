#include "quarantine/release.h"

#include <ctime>
#include <optional>
#include <vector>

#include "helpers/make_run_name.h"
#include "quarantine/release_plan.h"
#include "run/main.h"
#include "run/read_registry_value.h"
#include "store/names.h"
#include "store/queue_paths.h"
#include "store/release_mark.h"
#include "store/scan_log.h"
#include "store/sha256.h"
#include "store/whole_file.h"

namespace saplugin {

namespace {

const char* const kPassingExtension = ".saquarantine";

// True when the two files hold the same bytes; read in blocks, never whole.
bool SameBytes(FileSystem& fs, const std::string& a, const std::string& b) {
  if (fs.FileSize(a) != fs.FileSize(b)) return false;
  auto first = fs.OpenTextFileForReading(a), second = fs.OpenTextFileForReading(b);
  std::vector<char> one(64 * 1024), two(64 * 1024);
  for (;;) {
    const std::size_t got = first->Read(one.data(), one.size());
    std::size_t have = 0;
    while (have < got) {
      const std::size_t more = second->Read(two.data() + have, got - have);
      if (more == 0) return false;
      have += more;
    }
    if (got == 0) return second->Read(two.data(), 1) == 0;
    if (std::char_traits<char>::compare(one.data(), two.data(), got) != 0) return false;
  }
}

bool InQueue(FileSystem& fs, const std::string& copy, const std::string& queued) {
  return fs.FileExists(copy) && fs.FileExists(queued) && SameBytes(fs, copy, queued);
}

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('\\')); }

// The queue files of a message of that connector and name, in the mail server's data directory.
QueuePaths QueueFor(Platform& platform, const std::string& connector, const std::string& name) {
  return MakeQueuePaths(ReadRegistryValue(platform, kHostRegistryKey, kDataDirectoryValue), connector, name);
}

// The queue of a message by its record (or the operator's word for a message
// without one), every name checked as a single name: nothing read from the
// quarantine folder leads anywhere else.
QueuePaths QueueOf(Platform& platform, FileSystem& fs, const QuarantinedMessage& message, const std::string& connector_option) {
  const QuarantineRecord& record = message.details;
  if (!record.connector.empty() && !connector_option.empty() && record.connector != connector_option) {
    throw Error(kErrorInvalidArgument, "saquarantine",
                message.id + "'s record says it came from connector " + record.connector + ", not " + connector_option);
  }
  const std::string connector = record.connector.empty() ? connector_option : record.connector;
  const std::string name = record.name.empty() ? message.id + ".MAI" : record.name;
  if (connector.empty()) {
    throw Error(kErrorInvalidArgument, "saquarantine",
                message.id + " has no record of its connector (it was quarantined before records were kept): name it with --connector");
  }
  for (const auto& [what, text] : {std::pair{"connector", connector}, {"message name", name}}) {
    if (!IsSingleName(text)) {
      throw Error(kErrorInvalidArgument, "saquarantine",
                  message.id + "'s " + what + " \"" + CsvField(text) + "\" is no single file name: its record has been altered");
    }
  }
  const QueuePaths queue = QueueFor(platform, connector, name);
  if (!fs.FolderExists(Folder(queue.message_file))) {
    throw Error(kErrorInvalidArgument, "saquarantine", "The connector " + connector + " has no queue folder " + Folder(queue.message_file));
  }
  return queue;
}

// The passing files that releases of this id left in the queue's Messages
// folder: "<id>.<run name>.saquarantine". Only the id's lock holder calls it.
void RemovePassingFiles(FileSystem& fs, const std::string& messages_folder, const std::string& id) {
  for (const FileEntry& file : fs.FilesIn(messages_folder)) {
    const std::string& name = file.name;
    const std::size_t extension = std::char_traits<char>::length(kPassingExtension);
    if (name.size() > id.size() + 1 + extension && name.compare(0, id.size() + 1, id + ".") == 0 &&
        name.compare(name.size() - extension, extension, kPassingExtension) == 0 &&
        IsRunName(name.substr(id.size() + 1, name.size() - id.size() - 1 - extension))) {
      fs.DeleteFile(messages_folder + "\\" + name);
    }
  }
}

// Puts the quarantined file into the queue under its name: copied whole and
// on disk under a passing name of this process's own beside the message
// files, with ordinary attributes, then moved to its name in one step unless
// a file of that name is there.
void PutIntoQueue(FileSystem& fs, const std::string& source, const std::string& destination, const std::string& passing) {
  const bool placed = PlaceWholeFile(fs, passing, destination, Placing::kIfAbsent, [&] {
    fs.CopyFile(source, passing);
    fs.ClearReadOnly(passing);
  });
  if (!placed) throw Error(kErrorFileExists, "saquarantine", destination + " came meanwhile: it is never overwritten");
}

// What the release plan is decided from, read from the quarantine and the queue.
ReleaseFacts GatherReleaseFacts(FileSystem& fs, const std::string& folder, const QuarantinedMessage& message, const QueuePaths& queue) {
  ReleaseFacts facts;
  facts.state = message.details.state;
  facts.message_copy = message.message;
  facts.pickup_copy = message.pickup;
  facts.copies_whole = facts.state != EntryState::kQuarantining || CopiesAreWhole(fs, folder, message);
  const auto queued = [&](const std::string& copy, const std::string& file) {
    return !fs.FileExists(file) ? Queued::kAbsent : InQueue(fs, copy, file) ? Queued::kSame : Queued::kOther;
  };
  facts.message = queued(QuarantineMessageFile(folder, message.id), queue.message_file);
  facts.pickup = queued(QuarantinePickupFile(folder, message.id), queue.pickup_file);
  const std::optional<ReleaseMark> mark = ReadReleaseMark(fs, folder, queue.connector, queue.name);
  facts.mark = !mark ? MarkOf::kNone
               : mark->id == message.id ? MarkOf::kThis
               : MarksReleaseCutShort(fs, folder, *mark) ? MarkOf::kOtherCutShort
                                                         : MarkOf::kOther;
  return facts;
}

// The id as the run named the message, once it is known to be a run name.
std::string CheckedId(const std::string& id) {
  if (!IsRunName(id)) throw Error(kErrorBadFileName, "saquarantine", id + " is no quarantine id (32 hexadecimal digits)");
  return CanonicalRunName(id);
}

std::unique_ptr<FileLock> Lock(FileSystem& fs, const std::string& folder, const std::string& id, int wait) {
  auto lock = LockQuarantined(fs, folder, id, wait);
  if (!lock) throw Error(kErrorInUse, "saquarantine", id + " is in use by another program (a run quarantining it, or saquarantine): try again");
  return lock;
}

}  // namespace

std::string AccountName(Platform& platform) {
  try {
    return platform.AccountName();
  } catch (const Error& error) {
    return "an account the system could not name (" + error.Description() + ")";
  }
}

Released ReleaseMessage(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& id, const ReleaseRequest& request,
                        const std::function<void(const QuarantinedMessage&)>& on_done) {
  const std::string& folder = options.QuarantinePath;
  // Found once no other program works on it.
  const auto lock = Lock(fs, folder, CheckedId(id), kQuarantineLockWait);
  QuarantinedMessage message = FindQuarantined(fs, folder, id);
  ReadQuarantineDetails(fs, folder, message);
  QuarantineRecord& record = message.details;
  if (message.record) record = ReadQuarantineRecord(fs, folder, message.id);
  Released released;
  released.when = record.released;
  released.by = record.released_by;
  const std::string copy = QuarantineMessageFile(folder, message.id), pickup_copy = QuarantinePickupFile(folder, message.id);
  // What is left of a release that was done goes; the message stays where it went.
  const auto remove_copies = [&] {
    for (const std::string& file : {pickup_copy, QuarantineOutputFile(folder, message.id), copy}) {
      try {
        if (fs.FileExists(file)) fs.DeleteFile(file);
      } catch (const Error& error) {
        released.left.push_back(error.Description());
      }
    }
    try {
      if (released.left.empty()) RemoveQuarantined(fs, folder, message.id);
    } catch (const Error& error) {
      released.left.push_back(error.Description());
    }
  };
  if (record.state == EntryState::kReleased) {
    released.before = true;
    released.connector = record.connector;
    released.name = record.name;
    if (IsSingleName(record.connector) && IsSingleName(record.name)) {
      const QueuePaths queue = QueueFor(platform, record.connector, record.name);
      if (fs.FolderExists(Folder(queue.message_file))) RemovePassingFiles(fs, Folder(queue.message_file), message.id);
    }
    remove_copies();
    return released;
  }
  const QueuePaths queue = QueueOf(platform, fs, message, request.connector);
  released.connector = queue.connector;
  released.name = queue.name;
  released.message_file = queue.message_file;
  released.pickup_file = queue.pickup_file;
  const std::string messages_folder = Folder(queue.message_file);
  // Any passing file of this id is a release's that stopped: this one holds the lock.
  RemovePassingFiles(fs, messages_folder, message.id);
  ReleaseFacts facts = GatherReleaseFacts(fs, folder, message, queue);
  facts.force = request.force;
  const ReleasePlan plan = PlanRelease(facts);
  switch (plan.refusal) {
    case ReleaseRefusal::kNone:
      break;
    case ReleaseRefusal::kCopiesNotWhole:
      throw Error(kErrorInvalidArgument, "saquarantine",
                  message.id + "'s run stopped while it was copying the message into the quarantine: the copies are not whole. The "
                               "message is in the queue as " + queue.message_file + ", or the mail server has taken it on; "
                               "saquarantine delete removes the copies");
    case ReleaseRefusal::kStillInQueue:
      throw Error(kErrorInvalidArgument, "saquarantine",
                  message.id + " was being quarantined when its run stopped, and the message is still in the queue as " + queue.message_file +
                      ": there is nothing to release (saquarantine delete removes the quarantine's copies)");
    case ReleaseRefusal::kMaybeTakenOn:
      throw Error(kErrorInvalidArgument, "saquarantine",
                  message.id + "'s run stopped after it had copied the message, and the message is no longer in the queue: the mail "
                               "server may have taken it on. If it has not, release --force " + message.id + " puts this copy into the queue");
    case ReleaseRefusal::kCopyMissing:
      throw Error(kErrorFileNotFound, "saquarantine",
                  message.id + " cannot be released: its " + (message.message ? "pickup file" : "message") + " is missing from the quarantine");
    case ReleaseRefusal::kQueueFileThere:
      throw Error(kErrorFileExists, "saquarantine",
                  (plan.blocked_by_pickup ? queue.pickup_file : queue.message_file) + " is there already: a queue file is never overwritten");
    case ReleaseRefusal::kOtherCutShort:
      throw Error(kErrorFileExists, "saquarantine",
                  "A release of " + ReadReleaseMark(fs, folder, queue.connector, queue.name)->id + " under the same name was cut short: release it again first");
  }
  if (plan.put_pickup) {
    // The mark first: once the pickup file is in, a run may start at once.
    WriteReleaseMark(fs, folder, queue.connector, queue.name, {message.id, fs.FileSize(copy), FileSha256(fs, copy)});
    record.state = EntryState::kReleasing;
    record.released = ToLocalTime(std::time(nullptr)).stamp;
    record.released_by = request.account;
    WriteQuarantineRecord(fs, folder, message.id, record);
    const std::string passing = messages_folder + "\\" + message.id + "." + MakeRunName(platform) + kPassingExtension;
    try {
      if (plan.put_message) PutIntoQueue(fs, copy, queue.message_file, passing);
      PutIntoQueue(fs, pickup_copy, queue.pickup_file, passing);
    } catch (const Error&) {
      // A move can fail after its file is in under its own name (the passing
      // name would not go): the pickup file there, or the mark already taken
      // by a run, says the message is on its way, and the release is done.
      const bool on_its_way = InQueue(fs, pickup_copy, queue.pickup_file) || !fs.FileExists(ReleaseMarkFile(folder, queue.connector, queue.name));
      if (!on_its_way) {
        // The pickup file is not in, so no run is coming: the record goes back
        // first (a mark gone under "releasing" would say a run took it), then
        // the message file in the queue, then the mark, so that a stop on the
        // way leaves what the next release reads as this message's own.
        record.state = plan.on_failure;
        WriteQuarantineRecord(fs, folder, message.id, record);
        if (plan.remove_message_on_failure && InQueue(fs, copy, queue.message_file)) fs.DeleteFile(queue.message_file);
        fs.DeleteFile(ReleaseMarkFile(folder, queue.connector, queue.name));
        throw;
      }
    }
  }
  // Both files are in the queue, or were: the release is done.
  record.state = EntryState::kReleased;
  WriteQuarantineRecord(fs, folder, message.id, record);
  released.when = record.released;
  released.by = record.released_by;
  if (on_done) on_done(message);
  remove_copies();
  return released;
}

std::int64_t DeleteQuarantined(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& id, int wait_milliseconds) {
  const std::string& folder = options.QuarantinePath;
  const auto lock = Lock(fs, folder, CheckedId(id), wait_milliseconds);
  QuarantinedMessage message = FindQuarantined(fs, folder, id);
  // The record alone says where the message went; its header section is not read.
  QuarantineRecord record;
  if (message.record) {
    try {
      record = ReadQuarantineRecord(fs, folder, message.id);
    } catch (const Error&) {
      // An unreadable record names no queue: only the quarantine's files go.
    }
  }
  if (IsSingleName(record.connector) && IsSingleName(record.name)) {
    const QueuePaths queue = QueueFor(platform, record.connector, record.name);
    message.details = record;
    const ReleaseFacts facts = GatherReleaseFacts(fs, folder, message, queue);
    // A message file that its run or a release cut short left in the queue
    // without its pickup file is this spam's, blocking its name: it goes too.
    if (LeftoverInQueue(facts)) fs.DeleteFile(queue.message_file);
    // A released message keeps its mark for its run.
    const bool waiting = record.state == EntryState::kReleased || (record.state == EntryState::kReleasing && facts.pickup == Queued::kSame);
    if (facts.mark == MarkOf::kThis && MarkFoldersAreOwn(fs, folder, record.connector) && !waiting) {
      fs.DeleteFile(ReleaseMarkFile(folder, record.connector, record.name));
    }
    if (fs.FolderExists(Folder(queue.message_file))) RemovePassingFiles(fs, Folder(queue.message_file), message.id);
  }
  return RemoveQuarantined(fs, folder, message.id);
}

}  // namespace saplugin
