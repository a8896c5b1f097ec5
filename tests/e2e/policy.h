#pragma once

// What the policy makes of a message: score bands, connector sections, test
// mode and bypass, one table for both builds.

#include "e2e/e2e.h"

namespace saplugin {

// One case: its name and builds; the working configuration's changes (as
// Sandbox::Configure takes them); more of the file's text after the main
// section ("{connector}" stands for the sandbox's connector); the message; the stand-in filter's directives (empty:
// none) or "real-filter" for SpamAssassin itself; what becomes of the
// message; the scan log's verdict and outcome, and the start of its reason;
// the exit status; and the start of the one entry expected (empty: none).
struct PolicyCase {
  std::string name;
  int builds;
  std::string settings, sections, message, directives;
  Outcome outcome;
  std::string logged, reason;
  int status;
  std::string entry;
};
inline void PrintTo(const PolicyCase& c, std::ostream* out) { *out << c.name; }
std::vector<PolicyCase> PolicyCases(int build);
void RunPolicyCase(const Build& build, const PolicyCase& c);

// sacheck's view of a policy: the configuration as above ("=sample": the
// sample configuration with its recipes taken out of their comments),
// sacheck's status, and lines of its report, "STATUS|SUBJECT|start of the
// detail" one a line (without "|": a text that must be there; "!" first: one
// that must not).
struct PolicyCheckCase {
  std::string name;
  int builds;
  std::string settings, sections;
  int status;
  std::string lines;
};
inline void PrintTo(const PolicyCheckCase& c, std::ostream* out) { *out << c.name; }
std::vector<PolicyCheckCase> PolicyCheckCases(int build);
void RunPolicyCheckCase(const Build& build, const PolicyCheckCase& c);

}  // namespace saplugin
