#include "quarantine/release.h"

#include <vector>

#include "run/main.h"
#include "store/queue_paths.h"
#include "run/read_registry_value.h"

namespace saplugin {

namespace {

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

// Puts the quarantined file into the queue under its name: copied whole and
// on disk under a passing name beside the message files, then moved to its
// name in one step unless a file of that name is there. A file of that name
// with the same bytes is the work of a release that was cut short.
void PutIntoQueue(FileSystem& fs, const std::string& source, const std::string& destination, const std::string& passing) {
  if (fs.FileExists(destination)) {
    if (SameBytes(fs, source, destination)) return;
    throw Error(kErrorFileExists, "saquarantine", destination + " is there already, with other bytes: it is never overwritten");
  }
  fs.CopyFile(source, passing);
  if (fs.MoveIfAbsent(passing, destination)) return;
  fs.DeleteFile(passing);
  if (!SameBytes(fs, source, destination)) {
    throw Error(kErrorFileExists, "saquarantine", destination + " came meanwhile, with other bytes: it is never overwritten");
  }
}

}  // namespace

std::string AccountName(Platform& platform) {
  std::string user = platform.EnvironmentValue("USERNAME");
  if (user.empty()) user = platform.EnvironmentValue("USER");
  if (user.empty()) user = platform.EnvironmentValue("LOGNAME");
  const std::string domain = platform.EnvironmentValue("USERDOMAIN");
  if (user.empty()) return "an unknown account";
  return domain.empty() ? user : domain + "\\" + user;
}

Released ReleaseMessage(Platform& platform, FileSystem& fs, const PluginOptions& options, const QuarantinedMessage& message,
                        const std::string& connector) {
  const std::string& folder = options.QuarantinePath;
  Released released{connector.empty() ? message.connector : connector, message.name.empty() ? message.id + ".MAI" : message.name, "", ""};
  if (released.connector.empty()) {
    throw Error(kErrorInvalidArgument, "saquarantine",
                message.id + " has no record of its connector (it was quarantined before records were kept): name it with --connector");
  }
  const QueuePaths queue = MakeQueuePaths(ReadRegistryValue(platform, kHostRegistryKey, kDataDirectoryValue), released.connector, released.name);
  const std::string messages = queue.message_file.substr(0, queue.message_file.rfind('\\'));
  if (!fs.FolderExists(messages)) {
    throw Error(kErrorInvalidArgument, "saquarantine", "The connector " + released.connector + " has no queue folder " + messages);
  }
  released.message_file = queue.message_file;
  released.pickup_file = queue.pickup_file;
  const std::string passing = messages + "\\" + message.id + ".saquarantine";
  // What a release cut short may have left: its passing copy, and a message
  // already in the queue whose quarantine copies were partly removed.
  if (fs.FileExists(passing)) fs.DeleteFile(passing);
  const bool queued = fs.FileExists(queue.message_file) && fs.FileExists(queue.pickup_file);
  const bool finished = queued && (message.message ? SameBytes(fs, QuarantineMessageFile(folder, message.id), queue.message_file)
                                                   : message.record && !message.pickup);
  if (!finished) {
    if (!message.message || !message.pickup) {
      throw Error(kErrorFileNotFound, "saquarantine",
                  message.id + " cannot be released: its " + (message.message ? "pickup file" : "message") + " is missing from the quarantine");
    }
    // Refused before anything is done: a queue file of that name with other bytes.
    for (const auto& [source, destination] : {std::pair{QuarantineMessageFile(folder, message.id), queue.message_file},
                                              {QuarantinePickupFile(folder, message.id), queue.pickup_file}}) {
      if (fs.FileExists(destination) && !SameBytes(fs, source, destination)) {
        throw Error(kErrorFileExists, "saquarantine", destination + " is there already, with other bytes: it is never overwritten");
      }
    }
    // The mark, before the pickup file can start a run.
    if (!fs.FolderExists(folder + "Released")) fs.CreateFolder(folder + "Released");
    const std::string mark = ReleaseMarkFile(folder, released.connector, released.name);
    fs.OpenTextFileForAppending(mark)->Close();
    try {
      PutIntoQueue(fs, QuarantineMessageFile(folder, message.id), queue.message_file, passing);
      PutIntoQueue(fs, QuarantinePickupFile(folder, message.id), queue.pickup_file, passing);
    } catch (const Error&) {
      // The pickup file is not in: no run is coming to take the mark away.
      if (!fs.FileExists(queue.pickup_file) && fs.FileExists(mark)) fs.DeleteFile(mark);
      if (fs.FileExists(passing)) fs.DeleteFile(passing);
      throw;
    }
  }
  // Both are in the queue and on disk: the quarantine's copies go.
  RemoveQuarantined(fs, folder, message.id);
  return released;
}

}  // namespace saplugin
