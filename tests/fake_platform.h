#pragma once

// An in-memory platform for unit tests of the core: files and folders in
// maps, every call recorded, and any single file operation made to fail.

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace saplugin {

struct FakeFile {
  std::string content;
  bool read_only = false;
};

struct FakeRegistryValue {
  std::uint32_t type = kRegString;
  std::string data;  // the stored bytes; a text value includes its NUL when it has one
};

// A child started by StartHidden: it answers "running" to the first
// running_queries questions, then ended with exit_status.
struct FakeChild {
  int running_queries = 0;
  long exit_status = 0;
};

class FakePlatform : public Platform {
 public:
  FakePlatform();

  // ---- state that tests set up and inspect ----
  std::map<std::string, FakeFile> files;
  std::set<std::string> folders;  // without trailing separators
  // Operations named "Operation path" (e.g. "DeleteFile C:\x") throw Error.
  std::set<std::string> failures;
  std::vector<std::string> calls;  // every file operation, "Operation path"
  int file_systems_alive = 0;
  int file_systems_made = 0;

  std::string command_line;
  std::string executable_directory = "C:\\Plugin";
  std::vector<std::string> events;
  std::map<std::string, std::string> environment;

  std::map<std::string, std::map<std::string, FakeRegistryValue>> registry;  // key path → values
  std::vector<std::uint32_t> registry_access;  // the access mask of every open
  int registry_keys_open = 0;

  std::map<std::string, std::string> profile;  // key → value as the reader returns it
  std::vector<std::string> profile_reads;      // keys in the order read
  std::vector<std::uint32_t> profile_sizes;    // buffer sizes given

  long guid_status = 0;
  Guid guid;
  bool guid_throws = false;

  std::vector<std::string> started;  // command lines given to StartHidden
  FakeChild child;
  bool start_throws = false;
  int queries = 0;  // HasEnded questions asked
  int pumps = 0;
  std::vector<unsigned> pauses;  // the longest waits asked of the child
  // Folders whose files lie on another volume than the queue's: moves out of
  // them answer false.
  std::set<std::string> other_volume;
  // Called when StartHidden starts the child: it plays the filter's part.
  std::function<void()> on_start;
  // Exit statuses that IsCrashStatus answers true for.
  std::set<long> crash_statuses;

  // Convenience: a file, with its folder and the folders above it.
  void AddFile(const std::string& path, const std::string& content, bool read_only = false);
  void AddFolder(const std::string& path);
  // The configuration file beside the executable, so that LoadOptions finds it.
  void AddConfigFile();
  void SetRegistryText(const std::string& key, const std::string& name, const std::string& text);
  void SetRegistryDword(const std::string& key, const std::string& name, std::int32_t value);

  // ---- Platform ----
  std::unique_ptr<FileSystem> CreateFileSystem() override;
  std::string CommandLine() override { return command_line; }
  std::string ExecutableDirectory() override { return executable_directory; }
  void LogEvent(const std::string& text) override { events.push_back(text); }
  std::string EnvironmentValue(const std::string& name) override;
  std::unique_ptr<ChildProcess> StartHidden(const std::string& command_line) override;
  void PumpEvents() override { ++pumps; }
  bool IsCrashStatus(long exit_status) override { return crash_statuses.count(exit_status) == 1; }
  long OpenRegistryKey(const std::string& sub_key, std::uint32_t access, RegistryKey* key) override;
  long QueryRegistryValue(RegistryKey key, const std::string& name, std::uint32_t* type,
                          void* data, std::uint32_t* size) override;
  long CloseRegistryKey(RegistryKey key) override;
  std::uint32_t ReadProfileString(const std::string& section, const std::string& key,
                                  const std::string& default_value, char* buffer,
                                  std::uint32_t size, const std::string& file) override;
  long CreateGuid(Guid* guid) override;

  // Used by the fake's file-system object.
  void Record(const std::string& operation, const std::string& path);

 private:
  std::vector<std::string> open_key_paths_;
};

// The folder part of a path (up to its last "\"), without the separator.
std::string ParentOf(const std::string& path);

}  // namespace saplugin
