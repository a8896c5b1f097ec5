#include "store/run_leftovers.h"

#include "config/folder_rules.h"
#include "store/names.h"

namespace saplugin {

namespace {

bool StartsWith(const std::string& text, const std::string& start) { return text.compare(0, start.size(), start) == 0; }

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A run name as the programs write it: its letters in upper case.
bool IsWrittenRunName(const std::string& text) { return IsRunName(text) && text == CanonicalRunName(text); }

// True for "<owner>.<run>" + extension with an owner, which it stores.
bool SplitOwnerAndRun(const std::string& name, const std::string& extension, std::string* owner) {
  if (!EndsWith(name, extension)) return false;
  const std::string stem = name.substr(0, name.size() - extension.size());
  const std::size_t dot = stem.rfind('.');
  if (dot == std::string::npos || dot == 0 || !IsWrittenRunName(stem.substr(dot + 1))) return false;
  *owner = stem.substr(0, dot);
  return true;
}

// "spamd-<host>-<port>.down-<run>.new" or ".time-<run>.new", the host as a
// record's name spells it (letters, digits, ".", "-" and "_").
bool IsHostRecordBeingWritten(const std::string& name) {
  const std::string prefix = "spamd-", extension = ".new";
  if (!StartsWith(name, prefix) || !EndsWith(name, extension)) return false;
  const std::string stem = name.substr(0, name.size() - extension.size());
  for (const std::string kind : {".down-", ".time-"}) {
    const std::size_t at = stem.rfind(kind);
    if (at == std::string::npos || at < prefix.size() || !IsWrittenRunName(stem.substr(at + kind.size()))) continue;
    const std::string host = stem.substr(prefix.size(), at - prefix.size());
    const std::size_t dash = host.rfind('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 == host.size()) return false;
    if (host.find_first_not_of("0123456789", dash + 1) != std::string::npos) return false;
    return host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") == std::string::npos;
  }
  return false;
}

}  // namespace

bool IsRunLeftoverName(LeftoverFolder folder, const std::string& name) {
  // A name that is no single name (a "\\" in a POSIX name) would lead elsewhere.
  if (!IsSingleName(name)) return false;
  std::string owner;
  if (folder == LeftoverFolder::kQueueMessages) {
    return SplitOwnerAndRun(name, ".tmp", &owner) || (SplitOwnerAndRun(name, ".saquarantine", &owner) && IsWrittenRunName(owner));
  }
  for (const std::string extension : {".BAT", ".OUT"}) {
    if (EndsWith(name, extension) && IsWrittenRunName(name.substr(0, name.size() - extension.size()))) return true;
  }
  for (const std::string extension : {".eml", ".out"}) {
    if (StartsWith(name, "sacheck-") && EndsWith(name, extension) && name.size() > 8 + extension.size() &&
        IsWrittenRunName(name.substr(8, name.size() - 8 - extension.size()))) {
      return true;
    }
  }
  // A digest's sort files: "digest-<run>.sort<n>".
  const std::size_t sort = name.rfind(".sort");
  if (StartsWith(name, "digest-") && sort != std::string::npos && sort + 5 < name.size() &&
      name.find_first_not_of("0123456789", sort + 5) == std::string::npos && IsWrittenRunName(name.substr(7, sort - 7))) {
    return true;
  }
  return IsHostRecordBeingWritten(name);
}

std::vector<RunFolder> RunFolders(FileSystem& fs, const std::string& temp_path, const std::string& data_directory) {
  std::vector<RunFolder> folders;
  const std::string queues = data_directory + "\\QUEUES";
  const bool queues_known = !data_directory.empty() && fs.FolderExists(queues);
  // A TEMPPATH in the queue folder stops every run, so what lies there is mail.
  if (!temp_path.empty() && fs.FolderExists(temp_path) &&
      !(queues_known && SameOrInside(WhereFolderLeads(fs, temp_path), WhereFolderLeads(fs, queues)))) {
    folders.push_back({LeftoverFolder::kTempPath, temp_path, ""});
  }
  if (!queues_known) return folders;
  for (const std::string& connector : fs.FolderNames(queues)) {
    const std::string messages = queues + "\\" + connector + "\\Inbound\\Messages";
    if (IsSingleName(connector) && fs.FolderExists(messages)) folders.push_back({LeftoverFolder::kQueueMessages, messages, connector});
  }
  return folders;
}

std::vector<RunLeftover> FindRunLeftovers(FileSystem& fs, const RunFolder& folder, std::int64_t now) {
  const bool queue = folder.kind == LeftoverFolder::kQueueMessages;
  const std::string prefix = queue ? folder.path + "\\" : folder.path;
  const std::string pickups = queue ? folder.path.substr(0, folder.path.rfind('\\') + 1) : "";
  std::vector<RunLeftover> found;
  for (const FileEntry& file : fs.FilesIn(folder.path)) {
    if (now - file.modified <= kRunLeftoverAge || !IsRunLeftoverName(folder.kind, file.name)) continue;
    // Queued mail keeps its name, whatever it looks like.
    if (queue && fs.FileExists(pickups + file.name)) continue;
    std::string id;
    if (queue) SplitOwnerAndRun(file.name, ".saquarantine", &id);
    found.push_back({prefix + file.name, file.size, file.modified, id});
  }
  return found;
}

}  // namespace saplugin
