#pragma once

#include "platform/platform.h"

namespace saplugin {

// Forwards every call to another platform: the base of a wrapper that changes
// only a few of them (sacheck keeps the event-log entries; tests fail chosen
// calls).
class ForwardingPlatform : public Platform {
 public:
  explicit ForwardingPlatform(Platform& target) : target_(target) {}

  std::unique_ptr<FileSystem> CreateFileSystem() override { return target_.CreateFileSystem(); }
  std::string CommandLine() override { return target_.CommandLine(); }
  std::string ExecutableDirectory() override { return target_.ExecutableDirectory(); }
  void LogEvent(EventLevel level, const std::string& text) override { target_.LogEvent(level, text); }
  std::string AccountName() override { return target_.AccountName(); }
  std::string EnvironmentValue(const std::string& name) override { return target_.EnvironmentValue(name); }
  std::unique_ptr<ChildProcess> StartHidden(const std::string& line) override { return target_.StartHidden(line); }
  std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port, Milliseconds timeout) override {
    return target_.Connect(host, port, timeout);
  }
  void PumpEvents() override { target_.PumpEvents(); }
  bool IsCrashStatus(long status) override { return target_.IsCrashStatus(status); }
  long OpenRegistryKey(const std::string& sub_key, std::uint32_t access, RegistryKey* key) override {
    return target_.OpenRegistryKey(sub_key, access, key);
  }
  long QueryRegistryValue(RegistryKey key, const std::string& name, std::uint32_t* type, void* data,
                          std::uint32_t* size) override {
    return target_.QueryRegistryValue(key, name, type, data, size);
  }
  long CloseRegistryKey(RegistryKey key) override { return target_.CloseRegistryKey(key); }
  std::vector<std::string> ReadProfileKeyNames(const std::string& section, const std::string& file) override {
    return target_.ReadProfileKeyNames(section, file);
  }
  std::uint32_t ReadProfileString(const std::string& section, const std::string& key, const std::string& default_value,
                                  char* buffer, std::uint32_t size, const std::string& file) override {
    return target_.ReadProfileString(section, key, default_value, buffer, size, file);
  }
  long CreateGuid(Guid* guid) override { return target_.CreateGuid(guid); }

 private:
  Platform& target_;
};

// The platform with the event-log entries kept rather than written: the
// operator's programs load the configuration as a run does, without logging
// what a run would log.
class QuietPlatform : public ForwardingPlatform {
 public:
  using ForwardingPlatform::ForwardingPlatform;
  void LogEvent(EventLevel, const std::string& text) override { entries.push_back(text); }
  std::vector<std::string> entries;
};

}  // namespace saplugin
