#include "store/release_mark.h"

#include "config/conversions.h"
#include "store/names.h"
#include "store/quarantine_store.h"
#include "store/sha256.h"

namespace saplugin {

namespace {

std::int64_t ModifiedTime(FileSystem& fs, const std::string& folder, const std::string& name) {
  for (const FileEntry& file : fs.FilesIn(folder)) {
    if (file.name == name) return file.modified;
  }
  return -1;
}

}  // namespace

std::string ReleaseMarkFolder(const std::string& folder, const std::string& connector) { return folder + "Released\\" + connector; }

std::string ReleaseMarkFile(const std::string& folder, const std::string& connector, const std::string& name) {
  return ReleaseMarkFolder(folder, connector) + "\\" + name;
}

bool MarkFoldersAreOwn(FileSystem& fs, const std::string& folder, const std::string& connector) {
  return !fs.IsLink(folder + "Released") && !fs.IsLink(ReleaseMarkFolder(folder, connector));
}

void WriteReleaseMark(FileSystem& fs, const std::string& folder, const std::string& connector, const std::string& name,
                      const ReleaseMark& mark) {
  for (const std::string& path : {folder + "Released", ReleaseMarkFolder(folder, connector)}) {
    if (fs.IsLink(path)) throw Error(kErrorInvalidArgument, "saquarantine", path + " is a link: the quarantine's marks must be its own");
    if (!fs.FolderExists(path)) fs.CreateFolder(path);
  }
  ReplaceKeyValueFile(fs, ReleaseMarkFile(folder, connector, name),
                      {{"id", mark.id}, {"size", std::to_string(mark.size)}, {"sha256", mark.sha256}});
}

std::optional<ReleaseMark> ReadReleaseMark(FileSystem& fs, const std::string& folder, const std::string& connector,
                                           const std::string& name) {
  try {
    const auto values = ReadKeyValueFile(fs, ReleaseMarkFile(folder, connector, name));
    ReleaseMark mark;
    if (!values.count("id") || !values.count("size") || !values.count("sha256")) return std::nullopt;
    mark.id = values.at("id");
    const std::optional<std::int64_t> size = ReadDigits(values.at("size"), 18);
    if (!size) return std::nullopt;
    mark.size = *size;
    mark.sha256 = values.at("sha256");
    return mark;
  } catch (const Error&) {
    return std::nullopt;
  }
}

bool MarksReleaseCutShort(FileSystem& fs, const std::string& folder, const ReleaseMark& mark) {
  if (!IsRunName(mark.id) || !fs.FileExists(QuarantineRecordFile(folder, mark.id))) return false;
  try {
    return ReadQuarantineRecord(fs, folder, mark.id).state == EntryState::kReleasing;
  } catch (const Error&) {
    return false;  // an unreadable record says nothing
  }
}

MarkVerdict CheckReleaseMark(FileSystem& fs, const std::string& folder, const QueuePaths& paths, std::int64_t now) {
  if (!IsSingleName(paths.connector) || !IsSingleName(paths.name)) return MarkVerdict::kNone;
  const std::string mark_file = ReleaseMarkFile(folder, paths.connector, paths.name);
  if (!fs.FileExists(mark_file) || !MarkFoldersAreOwn(fs, folder, paths.connector) || fs.IsLink(mark_file)) return MarkVerdict::kNone;
  const std::int64_t modified = ModifiedTime(fs, ReleaseMarkFolder(folder, paths.connector), paths.name);
  if (modified < 0) return MarkVerdict::kNone;  // gone meanwhile, with another run
  const std::optional<ReleaseMark> mark = ReadReleaseMark(fs, folder, paths.connector, paths.name);
  // A message with the mark's bytes is the released one however late its run
  // comes (the server was down, the clock moved); past its day, a mark for
  // other bytes goes, but the mark of a release that was cut short stays for
  // the next release to read.
  if (mark && mark->size == fs.FileSize(paths.message_file) && mark->sha256 == FileSha256(fs, paths.message_file)) return MarkVerdict::kPasses;
  const bool past_its_day = now - modified > kReleaseMarkLifetime;
  return past_its_day && !(mark && MarksReleaseCutShort(fs, folder, *mark)) ? MarkVerdict::kExpired : MarkVerdict::kOtherMessage;
}

std::vector<MarkFile> ListReleaseMarks(FileSystem& fs, const std::string& folder, const std::string& data_directory) {
  std::vector<MarkFile> marks;
  const std::string released = folder + "Released";
  if (!fs.FolderExists(released) || fs.IsLink(released)) return marks;
  // Older versions left empty files here; nothing else in this folder is a mark.
  for (const FileEntry& file : fs.FilesIn(released)) {
    // A name that is no single name (a "\\" in a POSIX name) would lead elsewhere: it is never listed.
    if (file.size == 0 && IsSingleName(file.name)) marks.push_back({released + "\\" + file.name, file.modified, false});
  }
  // Folders and files that are links are not listed: nothing here leads elsewhere.
  for (const std::string& connector : fs.FolderNames(released)) {
    if (!IsSingleName(connector)) continue;
    for (const FileEntry& file : fs.FilesIn(released + "\\" + connector)) {
      const bool passing = file.name.size() > 4 && file.name.compare(file.name.size() - 4, 4, "-new") == 0;
      if (!IsSingleName(file.name)) continue;
      const std::optional<ReleaseMark> mark = passing ? std::nullopt : ReadReleaseMark(fs, folder, connector, file.name);
      if (!passing && !mark) continue;  // not a mark that this program wrote
      const QueuePaths queue = MakeQueuePaths(data_directory, connector, file.name);
      const bool queued = mark && !data_directory.empty() && fs.FileExists(queue.pickup_file) && fs.FileExists(queue.message_file) &&
                          fs.FileSize(queue.message_file) == mark->size;
      marks.push_back({released + "\\" + connector + "\\" + file.name, file.modified, mark && MarksReleaseCutShort(fs, folder, *mark), queued});
    }
  }
  return marks;
}

}  // namespace saplugin
