#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/forwarding_file_system.h"

namespace saplugin {

// The file system as a purge sees the mail server's queue: a listing of one
// of the given folders (each a connector's Inbound\Messages) holds only the
// files that runs and releases name after themselves (IsRunLeftoverName), read
// once and then kept in step with the files removed through this object. So
// a purge reads a queue of m messages once, however many entries it removes
// (each removal looks there for what a release of its message left), and no
// listing it is given names a queued message. A file that comes meanwhile is
// seen by the next purge. Other folders are listed as they are, each time.
class QueueView : public ForwardingFileSystem {
 public:
  QueueView(FileSystem& target, const std::vector<std::string>& folders)
      : ForwardingFileSystem(target), folders_(folders.begin(), folders.end()) {}

  std::vector<FileEntry> FilesIn(const std::string& path) override;
  void DeleteFile(const std::string& path) override;

 private:
  std::set<std::string> folders_;
  std::map<std::string, std::vector<FileEntry>> listed_;
};

}  // namespace saplugin
