#pragma once

// A fresh sandbox for one end-to-end scenario: a copy of the executable with
// its configuration beside it, a registry file naming the data directory, an
// event-log file, one connector's queue, a temporary folder and a quarantine
// folder.

#include <map>
#include <string>
#include <vector>

#include "temp_folder.h"

namespace saplugin {

struct RunResult {
  int exit_status = -1;
  std::string standard_error;
};

class Sandbox {
 public:
  Sandbox();

  std::string Path(const std::string& name) const { return folder_ / name; }
  std::string Bin() const { return Path("bin"); }
  std::string Data() const { return Path("data"); }
  std::string Inbound() const { return Path("data/QUEUES/Conn/Inbound"); }
  std::string Messages() const { return Inbound() + "/Messages"; }
  std::string Quarantine() const { return Path("quarantine"); }
  std::string Temp() const { return Path("temp"); }
  std::string ConfigFile() const { return Bin() + "/spamassassinconfig.ini"; }

  // Writes the configuration file: the section header and "KEY=value" lines.
  void WriteConfig(const std::map<std::string, std::string>& settings);
  // A queued message: the pickup file and the message file under one name.
  void Queue(const std::string& name, const std::string& message);
  // Runs the copied saplugin with the arguments, environment set for the sandbox.
  RunResult Run(const std::vector<std::string>& arguments) const;
  // The event-log entries' texts, in order, without time and process stamps.
  std::vector<std::string> Events() const;
  // Every file under the data directory with its content.
  std::map<std::string, std::string> QueueSnapshot() const;

  std::map<std::string, std::string> environment;

 private:
  TempFolder folder_;
};

}  // namespace saplugin
