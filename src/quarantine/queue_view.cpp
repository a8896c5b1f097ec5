#include "quarantine/queue_view.h"

#include <algorithm>

#include "store/run_leftovers.h"

namespace saplugin {

std::vector<FileEntry> QueueView::FilesIn(const std::string& path) {
  if (!folders_.count(path)) return ForwardingFileSystem::FilesIn(path);
  auto listed = listed_.find(path);
  if (listed == listed_.end()) {
    std::vector<FileEntry> files = ForwardingFileSystem::FilesIn(path);
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const FileEntry& file) { return !IsRunLeftoverName(LeftoverFolder::kQueueMessages, file.name); }),
                files.end());
    listed = listed_.emplace(path, std::move(files)).first;
  }
  return listed->second;
}

void QueueView::DeleteFile(const std::string& path) {
  ForwardingFileSystem::DeleteFile(path);
  const std::size_t separator = path.rfind('\\');
  const auto listed = separator == std::string::npos ? listed_.end() : listed_.find(path.substr(0, separator));
  if (listed == listed_.end()) return;
  const std::string name = path.substr(separator + 1);
  std::vector<FileEntry>& files = listed->second;
  files.erase(std::remove_if(files.begin(), files.end(), [&](const FileEntry& file) { return file.name == name; }), files.end());
}

}  // namespace saplugin
