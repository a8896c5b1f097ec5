#pragma once

// A platform held in memory: a MemoryFileSystem, one registry string value
// (the mail server's data directory), numbered GUIDs, and the event-log
// entries kept in a list. What it cannot stand for (processes, connections,
// INI files) throws.

#include <cstring>

#include "memory_file_system.h"

namespace saplugin::test {

class MemoryPlatform : public Platform {
 public:
  struct Entry {
    EventLevel level;
    std::string text;
  };
  MemoryFileSystem fs;
  std::string data_directory = "C:\\Server\\";
  std::string account = "CORP\\operator";
  std::vector<Entry> events;
  std::uint32_t guids = 0;

  // The file system itself, not a copy: tests read what the code left in it.
  std::unique_ptr<FileSystem> CreateFileSystem() override { return std::make_unique<Shared>(fs); }
  std::string CommandLine() override { return ""; }
  std::string ExecutableDirectory() override { return "C:\\Program"; }
  void LogEvent(EventLevel level, const std::string& text) override { events.push_back({level, text}); }
  std::string AccountName() override { return account; }
  std::string EnvironmentValue(const std::string&) override { return ""; }
  std::unique_ptr<ChildProcess> StartHidden(const std::string&) override { throw Error(2, "memory", "no processes here"); }
  std::unique_ptr<Connection> Connect(const std::string&, std::uint16_t, Milliseconds) override { throw Error(10061, "memory", "no network here"); }
  void PumpEvents() override {}
  bool IsCrashStatus(long status) override { return status >= 128; }
  long OpenRegistryKey(const std::string&, std::uint32_t, RegistryKey* key) override {
    *key = 1;
    return kStatusSuccess;
  }
  long QueryRegistryValue(RegistryKey, const std::string&, std::uint32_t* type, void* data, std::uint32_t* size) override {
    const auto needed = static_cast<std::uint32_t>(data_directory.size() + 1);
    *type = kRegString;
    if (data && *size < needed) return kStatusMoreData;
    if (data) std::memcpy(data, data_directory.c_str(), needed);
    *size = needed;
    return kStatusSuccess;
  }
  long CloseRegistryKey(RegistryKey) override { return kStatusSuccess; }
  std::uint32_t ReadProfileString(const std::string&, const std::string&, const std::string&, char*, std::uint32_t, const std::string&) override {
    throw Error(2, "memory", "no INI files here");
  }
  std::vector<std::string> ReadProfileKeyNames(const std::string&, const std::string&) override { return {}; }
  long CreateGuid(Guid* guid) override {
    *guid = Guid{++guids, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0}};
    return 0;
  }

 private:
  // Forwards to the one MemoryFileSystem.
  struct Shared : FileSystem {
    explicit Shared(MemoryFileSystem& fs) : fs(fs) {}
    bool FileExists(const std::string& p) override { return fs.FileExists(p); }
    bool FolderExists(const std::string& p) override { return fs.FolderExists(p); }
    void CreateFolder(const std::string& p) override { fs.CreateFolder(p); }
    std::int64_t FileSize(const std::string& p) override { return fs.FileSize(p); }
    std::unique_ptr<TextWriter> OpenTextFileForAppending(const std::string& p) override { return fs.OpenTextFileForAppending(p); }
    std::unique_ptr<TextWriter> CreateNewTextFile(const std::string& p) override { return fs.CreateNewTextFile(p); }
    std::unique_ptr<TextReader> OpenTextFileForReading(const std::string& p) override { return fs.OpenTextFileForReading(p); }
    void CopyFile(const std::string& s, const std::string& d) override { fs.CopyFile(s, d); }
    bool MoveOver(const std::string& s, const std::string& d) override { return fs.MoveOver(s, d); }
    bool MoveIfAbsent(const std::string& s, const std::string& d) override { return fs.MoveIfAbsent(s, d); }
    bool AppendToExistingFile(const std::string& p, const std::string& b) override { return fs.AppendToExistingFile(p, b); }
    void DeleteFile(const std::string& p) override { fs.DeleteFile(p); }
    void ClearReadOnly(const std::string& p) override { fs.ClearReadOnly(p); }
    bool IsLink(const std::string& p) override { return fs.IsLink(p); }
    std::unique_ptr<FileLock> TryLock(const std::string& p) override { return fs.TryLock(p); }
    std::string FolderAddProblem(const std::string& p) override { return fs.FolderAddProblem(p); }
    std::vector<FileEntry> FilesIn(const std::string& p) override { return fs.FilesIn(p); }
    std::vector<std::string> FolderNames(const std::string& p) override { return fs.FolderNames(p); }
    std::string FinalPath(const std::string& p) override { return fs.FinalPath(p); }
    std::string FolderIdentity(const std::string& p) override { return fs.FolderIdentity(p); }
    MemoryFileSystem& fs;
  };
};

}  // namespace saplugin::test
