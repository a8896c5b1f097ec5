#pragma once

// End-to-end support: a fresh sandbox for runs of the built saplugin (the
// executable in a folder with a blank and its configuration beside it, the
// host's data directory named in the registry, one connector's queue, the event
// log, TEMPPATH and a quarantine folder), run directly for the Linux build and
// under Wine for the Windows build; and the table of one-message cases.

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "files.h"

namespace saplugin {

struct Build {
  std::string saplugin, safilter;  // the executable copied into each sandbox, the stand-in filter
  bool wine = false;               // the Windows build, run under Wine
  // Under Wine: the data directory that Wine's registry names for the suite
  // (each sandbox has a connector of its own in it), and COMSPEC.
  std::string wine_data, comspec;
};
Build LinuxBuild();

struct RunResult {
  int status = -1;
  double seconds = 0;
  std::string standard_error, output;
};

struct Sandbox {
  explicit Sandbox(Build build = LinuxBuild());
  ~Sandbox();
  // A path as the program under test spells it (Z:\... under Wine).
  std::string Native(const std::string& path) const;
  // Moves TEMPPATH to a new folder under base, on another volume.
  void MoveTempTo(const std::string& base);
  // Writes a working configuration (QUARANTINE=1, the sandbox's folders, the
  // stand-in filter with an empty rules folder) changed by "KEY=value" words;
  // "KEY=-" leaves the key out; a value may start with {box} or {bin}.
  void Configure(const std::string& changes = "");
  // The pickup file and the message file of one queued message.
  void Queue(const std::string& name, const std::string& message);
  // Runs saplugin (or sacheck, copied beside it) in the sandbox's folder with
  // its environment ("-" unsets).
  RunResult Run(std::vector<std::string> arguments = {}, const std::string& program = "saplugin");
  std::vector<std::string> Events() const;  // of all runs so far

  Build build;
  TempFolder folder;
  std::string bin, data, connector, inbound, messages, quarantine, temp;
  std::map<std::string, std::string> environment;
  std::unique_ptr<TempFolder> elsewhere;
  std::vector<std::string> wine_events;
};

// Starts a program with standard input closed and standard error and output
// to the files; answers its process id.
int StartProcess(const std::vector<std::string>& words, const std::map<std::string, std::string>& environment,
                 const std::string& stderr_file, const std::string& folder = "", const std::string& stdout_file = "/dev/null");
// The process's exit status, or 128 + the signal that ended it.
int WaitProcess(int pid);

extern const std::string kSpam, kHam;
// The stand-in filter's exact output for the message under its rules file.
std::string FilterOutput(const std::string& message, const std::string& directives = "");

enum Builds { kLinux = 1, kWine = 2, kBoth = 3 };
enum class Outcome {
  kLeft,         // in the queue as received, pickup file too
  kTagged,       // in the queue, replaced by the filter's whole output
  kQuarantined,  // pickup, message and output in quarantine, none in the queue
  kDeleted,      // in the queue no more, and nowhere else
  kPickupGone,   // the pickup file deleted, the message left as received
};
// One case: its name and builds; the changes to the working configuration
// ("=TEXT": the whole file); the message; the stand-in filter's rules file
// (empty: a rules folder); the faults made before the run (words, or
// "sh:LINES", a filter script of shell lines where the stand-in filter is
// "$SAFILTER" and the sandbox "$BOX"); and what is expected: where the message
// is, the exit status, and the beginnings of the event-log entries, one per
// line, where {bin} is the program's folder (for sacheck: lines of its report,
// where {connector} is the sandbox's connector).
struct Scenario {
  std::string name;
  int builds;
  std::string settings, message, directives, setup;
  Outcome outcome;
  int status;
  std::string events;
};
inline void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }
std::vector<Scenario> Scenarios(int build);  // the rows that the build runs
void RunScenario(const Build& build, const Scenario& scenario);

}  // namespace saplugin
