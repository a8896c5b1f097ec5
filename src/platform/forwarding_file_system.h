#pragma once

#include "platform/platform.h"

namespace saplugin {

// Forwards every call to another file system: the base of a wrapper that
// changes only a few of them.
class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(FileSystem& target) : target_(target) {}

  bool FileExists(const std::string& path) override { return target_.FileExists(path); }
  bool FolderExists(const std::string& path) override { return target_.FolderExists(path); }
  void CreateFolder(const std::string& path) override { target_.CreateFolder(path); }
  std::int64_t FileSize(const std::string& path) override { return target_.FileSize(path); }
  std::unique_ptr<TextWriter> OpenTextFileForAppending(const std::string& path) override { return target_.OpenTextFileForAppending(path); }
  std::unique_ptr<TextWriter> CreateNewTextFile(const std::string& path) override { return target_.CreateNewTextFile(path); }
  std::unique_ptr<TextWriter> CreatePrivateFile(const std::string& path) override { return target_.CreatePrivateFile(path); }
  std::unique_ptr<TextReader> OpenTextFileForReading(const std::string& path) override { return target_.OpenTextFileForReading(path); }
  void CopyFile(const std::string& source, const std::string& destination) override { target_.CopyFile(source, destination); }
  bool MoveOver(const std::string& source, const std::string& destination) override { return target_.MoveOver(source, destination); }
  bool MoveIfAbsent(const std::string& source, const std::string& destination) override { return target_.MoveIfAbsent(source, destination); }
  bool AppendToExistingFile(const std::string& path, const std::string& bytes) override { return target_.AppendToExistingFile(path, bytes); }
  void DeleteFile(const std::string& path) override { target_.DeleteFile(path); }
  void ClearReadOnly(const std::string& path) override { target_.ClearReadOnly(path); }
  bool IsLink(const std::string& path) override { return target_.IsLink(path); }
  std::unique_ptr<FileLock> TryLock(const std::string& path) override { return target_.TryLock(path); }
  std::string FolderAddProblem(const std::string& path) override { return target_.FolderAddProblem(path); }
  std::vector<FileEntry> FilesIn(const std::string& path) override { return target_.FilesIn(path); }
  void EachFileIn(const std::string& path, const std::function<void(const FileEntry&)>& each) override { target_.EachFileIn(path, each); }
  std::vector<std::string> FolderNames(const std::string& path) override { return target_.FolderNames(path); }
  std::string FinalPath(const std::string& path) override { return target_.FinalPath(path); }
  std::string FolderIdentity(const std::string& path) override { return target_.FolderIdentity(path); }

 private:
  FileSystem& target_;
};

}  // namespace saplugin
