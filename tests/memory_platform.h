#pragma once

// A platform held in memory: a MemoryFileSystem, one registry string value
// (the mail server's data directory), numbered GUIDs, and the event-log
// entries kept in a list. What it cannot stand for (processes, connections,
// INI files) throws.

#include <cstring>

#include "memory_file_system.h"
#include "platform/forwarding_file_system.h"

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
  std::unique_ptr<FileSystem> CreateFileSystem() override { return std::make_unique<ForwardingFileSystem>(fs); }
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
};

}  // namespace saplugin::test
