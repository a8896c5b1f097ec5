#pragma once

// A fresh sandbox for one end-to-end scenario: a copy of the executable with
// its configuration beside it, the host's data directory named in the
// registry, the event log, one connector's queue, a temporary folder and a
// quarantine folder. The same sandbox runs the Linux build directly and the
// Windows build under Wine.

#include <map>
#include <string>
#include <vector>

#include "temp_folder.h"

namespace saplugin {

// The build under test.
struct Build {
  std::string saplugin;  // the executable to copy into the sandbox
  std::string safilter;  // the stand-in filter
  bool wine = false;     // run under Wine (the Windows build)
  // Under Wine: the data directory that the registry names for the whole
  // suite; each sandbox has a connector of its own below it.
  std::string wine_data;
};

// The Linux build of this tree.
Build LinuxBuild();

struct RunResult {
  int exit_status = -1;
  std::string standard_error;
};

class Sandbox {
 public:
  explicit Sandbox(Build build = LinuxBuild());
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  std::string Path(const std::string& name) const { return folder_ / name; }
  std::string Bin() const { return Path("bin"); }
  std::string Connector() const { return connector_; }
  std::string Inbound() const { return data_ + "/QUEUES/" + connector_ + "/Inbound"; }
  std::string Messages() const { return Inbound() + "/Messages"; }
  std::string Quarantine() const { return Path("quarantine"); }
  std::string Temp() const { return Path("temp"); }
  std::string ConfigFile() const { return Bin() + "/spamassassinconfig.ini"; }
  // A path as the program under test spells it (Z:\... under Wine).
  std::string Native(const std::string& path) const;
  const Build& Under() const { return build_; }

  // Writes the configuration file: the section header and "KEY=value" lines.
  void WriteConfig(const std::map<std::string, std::string>& settings);
  // A queued message: the pickup file and the message file under one name.
  void Queue(const std::string& name, const std::string& message);
  // Runs saplugin with the arguments and the sandbox's environment, from the
  // sandbox's folder (or from the named copy of the executable).
  RunResult Run(const std::vector<std::string>& arguments, const std::string& executable = "");
  // The event-log entries' texts of all runs so far, in order.
  std::vector<std::string> Events() const;
  // Every file of the connector's queue with its content.
  std::map<std::string, std::string> QueueSnapshot() const;

  std::map<std::string, std::string> environment;

 private:
  Build build_;
  TempFolder folder_;
  std::string data_;
  std::string connector_;
  std::vector<std::string> wine_events_;
};

// Starts a command with extra environment, its standard error going to the
// file, from the folder when one is given; answers its process id.
int StartProcess(const std::vector<std::string>& words, const std::map<std::string, std::string>& environment,
                 const std::string& stderr_file, const std::string& folder = "");

// Runs a command as StartProcess does and answers its exit status.
int RunProcess(const std::vector<std::string>& words, const std::map<std::string, std::string>& environment,
               const std::string& stderr_file, const std::string& folder = "");

}  // namespace saplugin
