#include "store/quarantine_store.h"

#include "store/queue_paths.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/text.h"
#include "store/header_fields.h"
#include "store/names.h"
#include "store/scan_log.h"
#include "store/whole_file.h"

namespace saplugin {

namespace {

const std::pair<EntryState, const char*> kStateWords[] = {
    {EntryState::kQuarantining, "quarantining"}, {EntryState::kReleasing, "releasing"}, {EntryState::kReleased, "released"}};

// The id of a file name with the extension, or empty when it has another or
// is no run name.
std::string IdOf(const std::string& name, const char* extension) {
  const std::size_t length = std::char_traits<char>::length(extension);
  if (name.size() <= length || !SameIgnoringCase(name.substr(name.size() - length), extension)) return "";
  const std::string id = name.substr(0, name.size() - length);
  return IsRunName(id) && id == CanonicalRunName(id) ? id : "";
}

}  // namespace

std::string QuarantinedMessage::Missing() const {
  std::string missing;
  for (const auto& [there, what] : {std::pair{pickup, "pickup file"}, {message, "message"}, {output, "SpamAssassin's output"}}) {
    if (!there) missing += (missing.empty() ? "" : ", ") + std::string(what);
  }
  return missing;
}

std::string QuarantinedMessage::StateText() const {
  switch (details.state) {
    case EntryState::kQuarantining:
      return "being quarantined, or its run stopped half-way";
    case EntryState::kReleasing:
      return "a release began " + details.released + " by " + details.released_by + " and was cut short: release it again";
    case EntryState::kReleased:
      return "released " + details.released + " by " + details.released_by + "; what is left goes with delete";
    case EntryState::kWhole:
      break;
  }
  return "";
}

std::string QuarantinePickupFile(const std::string& folder, const std::string& id) { return folder + id + ".MAI"; }
std::string QuarantineMessageFile(const std::string& folder, const std::string& id) { return folder + "Messages\\" + id + ".MAI"; }
std::string QuarantineOutputFile(const std::string& folder, const std::string& id) { return folder + "Messages\\" + id + ".SA"; }
std::string QuarantineRecordFile(const std::string& folder, const std::string& id) { return folder + "Messages\\" + id + ".INF"; }
std::string QuarantineLockFile(const std::string& folder, const std::string& id) { return folder + "Messages\\" + id + ".LCK"; }

void ReplaceKeyValueFile(FileSystem& fs, const std::string& path, const std::vector<std::pair<std::string, std::string>>& values,
                         const std::string& passing_suffix) {
  const std::string passing = path + passing_suffix;
  // One that a stopped process left.
  if (fs.FileExists(passing)) fs.DeleteFile(passing);
  const bool moved = PlaceWholeFile(fs, passing, path, Placing::kOver, [&] {
    auto writer = fs.CreateNewTextFile(passing);
    if (!writer) throw Error(kErrorFileExists, "saplugin", "Could not create " + passing + ": it is there");
    for (const auto& [key, value] : values) writer->WriteLine(key + "=" + value);
    writer->Close();
  });
  if (!moved) throw Error(kErrorInvalidArgument, "saplugin", "Could not move " + passing + " over " + path);
}

std::map<std::string, std::string> ReadKeyValueFile(FileSystem& fs, const std::string& path) {
  std::map<std::string, std::string> values;
  auto reader = fs.OpenTextFileForReading(path);
  for (int lines = 0; lines < 32 && !reader->AtEndOfStream(); ++lines) {
    const std::string line = reader->ReadLine(kHeaderLineLimit);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) values.emplace(line.substr(0, equals), line.substr(equals + 1));
  }
  reader->Close();
  return values;
}

QuarantineRecord ReadQuarantineRecord(FileSystem& fs, const std::string& folder, const std::string& id) {
  const auto values = ReadKeyValueFile(fs, QuarantineRecordFile(folder, id));
  const auto value = [&](const char* key) { return values.count(key) ? values.at(key) : std::string(); };
  QuarantineRecord record{value("connector"), value("message"), value("quarantined"), EntryState::kWhole,
                          value("released"),  value("by"),      value("sizes")};
  const std::string state = value("state");
  for (const auto& [known, word] : kStateWords) {
    if (state == word) record.state = known;
  }
  // A state that is not known is no state to act on: the entry is half-made.
  if (!state.empty() && record.state == EntryState::kWhole) record.state = EntryState::kQuarantining;
  return record;
}

void WriteQuarantineRecord(FileSystem& fs, const std::string& folder, const std::string& id, const QuarantineRecord& record) {
  std::vector<std::pair<std::string, std::string>> values = {
      {"connector", record.connector}, {"message", record.name}, {"quarantined", record.quarantined}};
  for (const auto& [known, word] : kStateWords) {
    if (record.state == known) values.emplace_back("state", word);
  }
  if (!record.sizes.empty()) values.emplace_back("sizes", record.sizes);
  if (record.state == EntryState::kReleasing || record.state == EntryState::kReleased) {
    values.emplace_back("released", record.released);
    values.emplace_back("by", record.released_by);
  }
  ReplaceKeyValueFile(fs, QuarantineRecordFile(folder, id), values);
}

std::unique_ptr<FileLock> LockQuarantined(FileSystem& fs, const std::string& folder, const std::string& id, int wait_milliseconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_milliseconds);
  for (;;) {
    if (auto lock = fs.TryLock(QuarantineLockFile(folder, id))) return lock;
    if (std::chrono::steady_clock::now() >= until) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::int64_t RemoveQuarantined(FileSystem& fs, const std::string& folder, const std::string& id) {
  std::int64_t bytes = 0;
  for (const std::string& file : {QuarantinePickupFile(folder, id), QuarantineOutputFile(folder, id), QuarantineMessageFile(folder, id),
                                  QuarantineRecordFile(folder, id) + "-new", QuarantineRecordFile(folder, id)}) {
    if (!fs.FileExists(file)) continue;
    const std::int64_t size = fs.FileSize(file);
    fs.DeleteFile(file);
    bytes += size;
  }
  return bytes;
}

std::string MessageLeftInQueue(FileSystem& fs, const std::string& data_directory, const QuarantineRecord& record) {
  const bool half_way = record.state == EntryState::kQuarantining || record.state == EntryState::kReleasing;
  if (!half_way || data_directory.empty() || !IsSingleName(record.connector) || !IsSingleName(record.name)) return "";
  const QueuePaths queue = MakeQueuePaths(data_directory, record.connector, record.name);
  return fs.FileExists(queue.message_file) && !fs.FileExists(queue.pickup_file) ? queue.message_file : "";
}

bool CopiesAreWhole(FileSystem& fs, const std::string& folder, const QuarantinedMessage& message) {
  std::string sizes;
  for (const std::string& file :
       {QuarantinePickupFile(folder, message.id), QuarantineMessageFile(folder, message.id), QuarantineOutputFile(folder, message.id)}) {
    if (!fs.FileExists(file)) return false;
    sizes += (sizes.empty() ? "" : ",") + std::to_string(fs.FileSize(file));
  }
  return !message.details.sizes.empty() && sizes == message.details.sizes;
}

namespace {

void RefuseLinkedMessagesFolder(FileSystem& fs, const std::string& folder) {
  if (fs.IsLink(folder + "Messages")) {
    throw Error(kErrorInvalidArgument, "saquarantine", folder + "Messages is a link: the quarantine's files must be its own");
  }
}

}  // namespace

std::vector<QuarantinedMessage> ListQuarantine(FileSystem& fs, const std::string& folder) {
  RefuseLinkedMessagesFolder(fs, folder);
  std::map<std::string, QuarantinedMessage> found;
  const auto add = [&](const FileEntry& file, const std::string& id, bool QuarantinedMessage::*part) {
    QuarantinedMessage& message = found[id];
    message.id = id;
    message.*part = true;
    message.bytes += file.size;
    message.modified = std::max(message.modified, file.modified);
    if (part == &QuarantinedMessage::message) message.size = file.size;
  };
  for (const FileEntry& file : fs.FilesIn(folder)) {
    const std::string id = IdOf(file.name, ".MAI");
    if (!id.empty()) add(file, id, &QuarantinedMessage::pickup);
  }
  if (fs.FolderExists(folder + "Messages")) {
    for (const FileEntry& file : fs.FilesIn(folder + "Messages")) {
      for (const auto& [extension, part] : {std::pair{".MAI", &QuarantinedMessage::message}, {".SA", &QuarantinedMessage::output},
                                            {".INF", &QuarantinedMessage::record}}) {
        const std::string id = IdOf(file.name, extension);
        if (!id.empty()) add(file, id, part);
      }
    }
  }
  std::vector<QuarantinedMessage> messages;
  messages.reserve(found.size());
  for (auto& entry : found) messages.push_back(std::move(entry.second));
  std::stable_sort(messages.begin(), messages.end(),
                   [](const QuarantinedMessage& a, const QuarantinedMessage& b) { return a.modified > b.modified; });
  return messages;
}

void EachRecordedQuarantined(FileSystem& fs, const std::string& folder, const std::function<void(QuarantinedMessage&)>& each) {
  RefuseLinkedMessagesFolder(fs, folder);
  if (!fs.FolderExists(folder + "Messages")) return;
  fs.EachFileIn(folder + "Messages", [&](const FileEntry& file) {
    const std::string id = IdOf(file.name, ".INF");
    if (id.empty()) return;
    QuarantinedMessage message;
    try {
      message = FindQuarantined(fs, folder, id);
    } catch (const Error& error) {
      if (error.Number() == kErrorFileNotFound) return;  // released or purged meanwhile
      throw;
    }
    // The record is the entry's last file written when it was quarantined.
    message.modified = file.modified;
    each(message);
  });
}

QuarantinedMessage FindQuarantined(FileSystem& fs, const std::string& folder, const std::string& given) {
  // An id is a run name: never a path, a device or anything else to open.
  if (!IsRunName(given)) throw Error(kErrorFileNotFound, "saquarantine", given + " is no quarantine id (32 hexadecimal digits)");
  RefuseLinkedMessagesFolder(fs, folder);
  QuarantinedMessage message;
  message.id = CanonicalRunName(given);
  const std::string& id = message.id;
  const std::pair<std::string, bool QuarantinedMessage::*> parts[] = {{QuarantinePickupFile(folder, id), &QuarantinedMessage::pickup},
      {QuarantineMessageFile(folder, id), &QuarantinedMessage::message}, {QuarantineOutputFile(folder, id), &QuarantinedMessage::output},
      {QuarantineRecordFile(folder, id), &QuarantinedMessage::record}};
  for (const auto& [file, part] : parts) {
    if (fs.IsLink(file)) throw Error(kErrorInvalidArgument, "saquarantine", file + " is a link: the quarantine's files must be its own");
    if (!fs.FileExists(file)) continue;
    std::int64_t size = 0;
    try {
      size = fs.FileSize(file);
    } catch (const Error&) {
      // Removed meanwhile by a program that held the message (a purge): not there.
      if (!fs.FileExists(file)) continue;
      throw;
    }
    message.*part = true;
    message.bytes += size;
    if (part == &QuarantinedMessage::message) message.size = size;
  }
  if (!message.pickup && !message.message && !message.output && !message.record) {
    throw Error(kErrorFileNotFound, "saquarantine", "No quarantined message " + id + " in " + folder);
  }
  return message;
}

void ReadQuarantineDetails(FileSystem& fs, const std::string& folder, QuarantinedMessage& message) {
  try {
    if (message.record) message.details = ReadQuarantineRecord(fs, folder, message.id);
  } catch (const Error&) {
    // An unreadable record leaves the fields empty; the listing says so.
  }
  const std::string header = message.output ? QuarantineOutputFile(folder, message.id)
                             : message.message ? QuarantineMessageFile(folder, message.id) : "";
  if (header.empty()) return;
  try {
    auto fields = ReadHeaderFields(fs, header, {"From", "Subject", "X-Spam-Status"}, kScanLogFieldLimit);
    message.from = fields["From"];
    message.subject = fields["Subject"];
    const SpamStatus status = ParseSpamStatus(fields["X-Spam-Status"]);
    message.score = status.score;
    message.required = status.required;
  } catch (const Error&) {
    // As above.
  }
}

}  // namespace saplugin
