#pragma once

// The end-to-end scenarios of one queued message, as data, so that the same
// table runs against every build of saplugin.

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace saplugin {

// Where the message is after the run.
enum class Outcome {
  kOriginal,     // in the queue exactly as received, pickup file too
  kTagged,       // in the queue, replaced by the filter's complete output
  kQuarantined,  // gone from the queue, complete in the quarantine folder
  kDeleted,      // gone from the queue and kept nowhere
  kPickupOnlyDeleted,  // the pickup file deleted, the message left as received
};

struct Scenario {
  std::string name;
  std::map<std::string, std::string> settings;  // QUARANTINE, KEEPORIGINAL...
  std::string message;
  std::string filter_faults;  // the stand-in filter's rules file; empty: none
  bool read_only_message = false;
  bool missing_temp_path = false;
  bool missing_filter = false;
  // Expected:
  Outcome outcome = Outcome::kOriginal;
  std::vector<std::string> events;  // exact texts; a text ending in "*" matches as a prefix
  bool temporary_files_gone = true;
};

// Test output names a scenario by its name.
inline void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

extern const char* const kGtube;
extern const std::string kHam;
extern const std::string kSpam;

// Every scenario of the table.
const std::vector<Scenario>& ScanScenarios();

}  // namespace saplugin
