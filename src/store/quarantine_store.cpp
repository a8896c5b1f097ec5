#include "store/quarantine_store.h"

#include <algorithm>
#include <map>

#include "store/header_fields.h"
#include "store/scan_log.h"

namespace saplugin {

namespace {

// The record's lines are "key=value".
std::map<std::string, std::string> ReadRecord(FileSystem& fs, const std::string& file) {
  std::map<std::string, std::string> values;
  auto reader = fs.OpenTextFileForReading(file);
  for (int lines = 0; lines < 32 && !reader->AtEndOfStream(); ++lines) {
    const std::string line = reader->ReadLine(kHeaderLineLimit);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) values.emplace(line.substr(0, equals), line.substr(equals + 1));
  }
  reader->Close();
  return values;
}

// The id of a file name with the extension, or empty when it has another.
std::string IdOf(const std::string& name, const char* extension) {
  const std::size_t length = std::char_traits<char>::length(extension);
  if (name.size() <= length) return "";
  for (std::size_t i = 0; i < length; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[name.size() - length + i])) != extension[i]) return "";
  }
  return name.substr(0, name.size() - length);
}

}  // namespace

std::string QuarantinedMessage::Missing() const {
  std::string missing;
  for (const auto& [there, what] : {std::pair{pickup, "pickup file"}, {message, "message"}, {output, "SpamAssassin's output"}}) {
    if (!there) missing += (missing.empty() ? "" : ", ") + std::string(what);
  }
  return missing;
}

std::string QuarantinePickupFile(const std::string& folder, const std::string& id) { return folder + id + ".MAI"; }
std::string QuarantineMessageFile(const std::string& folder, const std::string& id) { return folder + "Messages\\" + id + ".MAI"; }
std::string QuarantineOutputFile(const std::string& folder, const std::string& id) { return folder + "Messages\\" + id + ".SA"; }
std::string QuarantineRecordFile(const std::string& folder, const std::string& id) { return folder + "Messages\\" + id + ".INF"; }
std::string ReleaseMarkFile(const std::string& folder, const std::string& connector, const std::string& name) {
  return folder + "Released\\" + connector + "_" + name;
}

void WriteQuarantineRecord(FileSystem& fs, const std::string& folder, const std::string& id, const std::string& connector,
                           const std::string& name, const std::string& time) {
  auto writer = fs.OpenTextFileForAppending(QuarantineRecordFile(folder, id));
  writer->WriteLine("connector=" + connector);
  writer->WriteLine("message=" + name);
  writer->WriteLine("quarantined=" + time);
  writer->Close();
}

void RemoveQuarantined(FileSystem& fs, const std::string& folder, const std::string& id) {
  for (const std::string& file : {QuarantinePickupFile(folder, id), QuarantineOutputFile(folder, id), QuarantineMessageFile(folder, id),
                                  QuarantineRecordFile(folder, id)}) {
    if (fs.FileExists(file)) fs.DeleteFile(file);
  }
}

std::vector<QuarantinedMessage> ListQuarantine(FileSystem& fs, const std::string& folder) {
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

QuarantinedMessage FindQuarantined(FileSystem& fs, const std::string& folder, const std::string& id) {
  QuarantinedMessage message;
  message.id = id;
  const std::pair<std::string, bool QuarantinedMessage::*> parts[] = {{QuarantinePickupFile(folder, id), &QuarantinedMessage::pickup},
      {QuarantineMessageFile(folder, id), &QuarantinedMessage::message}, {QuarantineOutputFile(folder, id), &QuarantinedMessage::output},
      {QuarantineRecordFile(folder, id), &QuarantinedMessage::record}};
  // An id is a run name: never a path that could lead out of the quarantine.
  const bool plain = !id.empty() && id.find_first_of("\\/:*?\"<>|") == std::string::npos && id != "." && id != "..";
  for (const auto& [file, part] : parts) {
    if (!plain || !fs.FileExists(file)) continue;
    message.*part = true;
    const std::int64_t size = fs.FileSize(file);
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
    if (message.record) {
      const auto record = ReadRecord(fs, QuarantineRecordFile(folder, message.id));
      const auto value = [&](const char* key) { return record.count(key) ? record.at(key) : std::string(); };
      message.connector = value("connector");
      message.name = value("message");
      message.quarantined = value("quarantined");
    }
  } catch (const Error&) {
    // An unreadable record leaves the fields empty; the listing says so.
  }
  const std::string header = message.output ? QuarantineOutputFile(folder, message.id)
                             : message.message ? QuarantineMessageFile(folder, message.id) : "";
  if (header.empty()) return;
  try {
    auto fields = ReadHeaderFields(fs, header, {"From", "Subject", "X-Spam-Status"}, kScanLogTextLimit);
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
