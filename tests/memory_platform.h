#pragma once

// A platform held in memory: a MemoryFileSystem, one registry string value
// (the mail server's data directory), numbered GUIDs, and the event-log
// entries kept in a list, INI files read from the file system, and spamd
// daemons as functions of what they are sent. It runs no process.

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "memory_file_system.h"
#include "platform/forwarding_file_system.h"
#include "platform/posix/profile_file.h"

namespace saplugin::test {

// A connection to a daemon that answers once it has the whole request.
class DaemonConnection : public Connection {
 public:
  explicit DaemonConnection(std::function<std::string(const std::string&)> answer) : answer_(std::move(answer)) {}
  void Send(const char* data, std::size_t size, Milliseconds) override { sent_.append(data, size); }
  void EndSending() override { answered_ = answer_(sent_); }
  std::size_t Receive(char* data, std::size_t size, Milliseconds) override {
    const std::size_t got = std::min(size, answered_.size() - at_);
    std::copy_n(answered_.data() + at_, got, data);
    at_ += got;
    return got;
  }

 private:
  std::function<std::string(const std::string&)> answer_;
  std::string sent_, answered_;
  std::size_t at_ = 0;
};

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
  std::string command_line;  // the two words the mail server gives
  std::string CommandLine() override { return command_line; }
  std::string ExecutableDirectory() override { return "C:\\Program"; }
  void LogEvent(EventLevel level, const std::string& text) override { events.push_back({level, text}); }
  std::string AccountName() override { return account; }
  std::map<std::string, std::string> environment;
  // Writes the configuration file beside the program: its lines, "|" standing
  // for each line break, as Windows editors end them.
  void PutConfiguration(std::string lines) {
    for (std::size_t at; (at = lines.find('|')) != std::string::npos;) lines.replace(at, 1, "\r\n");
    fs.Put(ExecutableDirectory() + "\\spamassassinconfig.ini", lines + "\r\n");
  }
  std::string EnvironmentValue(const std::string& name) override { return environment.count(name) ? environment[name] : ""; }
  std::unique_ptr<ChildProcess> StartHidden(const std::string&) override { throw Error(2, "memory", "no processes here"); }
  // The spamd daemons: what the host at host:port answers to the whole of
  // what it was sent, once the sender ends; refused, when it throws.
  std::function<std::string(const std::string& host, std::uint16_t port, const std::string& request)> daemons;
  std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port, Milliseconds) override {
    if (!daemons) throw Error(10061, "memory", "no network here");
    return std::make_unique<DaemonConnection>([this, host, port](const std::string& request) { return daemons(host, port, request); });
  }
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
  // INI files in the memory file system, read by the POSIX build's text rules.
  std::uint32_t ReadProfileString(const std::string& section, const std::string& key, const std::string& default_value, char* buffer,
                                  std::uint32_t size, const std::string& file) override {
    std::istringstream text(fs.Bytes(file));
    std::string value;
    value = FindProfileValue(text, section, key, &value) ? CutProfileValue(value, size) : default_value.substr(0, size - 1);
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<std::uint32_t>(value.size());
  }
  std::vector<std::string> ReadProfileKeyNames(const std::string& section, const std::string& file) override {
    std::istringstream text(fs.Bytes(file));
    return ProfileKeyNames(text, section);
  }
  long CreateGuid(Guid* guid) override {
    *guid = Guid{++guids, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0}};
    return 0;
  }
};

}  // namespace saplugin::test
