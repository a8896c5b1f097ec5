#pragma once

#include "platform/platform.h"

namespace saplugin {

// The file-system object on POSIX. A file with no write permission bits is
// read-only, as on Windows: deleting it or copying onto it fails, for root too.
class PosixFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  void CreateFolder(const std::string& path) override;
  std::int64_t FileSize(const std::string& path) override;
  std::unique_ptr<TextWriter> OpenTextFileForAppending(const std::string& path) override;
  std::unique_ptr<TextWriter> CreateNewTextFile(const std::string& path) override;
  std::unique_ptr<TextWriter> CreatePrivateFile(const std::string& path) override;
  std::unique_ptr<TextReader> OpenTextFileForReading(const std::string& path) override;
  void CopyFile(const std::string& source, const std::string& destination) override;
  bool MoveOver(const std::string& source, const std::string& destination) override;
  bool MoveIfAbsent(const std::string& source, const std::string& destination) override;
  bool AppendToExistingFile(const std::string& path, const std::string& bytes) override;
  void DeleteFile(const std::string& path) override;
  void ClearReadOnly(const std::string& path) override;
  bool IsLink(const std::string& path) override;
  std::unique_ptr<FileLock> TryLock(const std::string& path) override;
  std::string FolderAddProblem(const std::string& path) override;
  std::vector<FileEntry> FilesIn(const std::string& path) override;
  void EachFileIn(const std::string& path, const std::function<void(const FileEntry&)>& each) override;
  std::vector<std::string> FolderNames(const std::string& path) override;
  std::string FinalPath(const std::string& path) override;
  std::string FolderIdentity(const std::string& path) override;
};

}  // namespace saplugin
