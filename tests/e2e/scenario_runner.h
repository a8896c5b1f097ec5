#pragma once

#include "e2e/sandbox.h"
#include "e2e/scenarios.h"

namespace saplugin {

// Runs one scenario against the build in a fresh sandbox and checks the queue,
// the quarantine folder, the temporary folder, the event log and the exit
// status with GoogleTest assertions.
void RunScenario(const Build& build, const Scenario& scenario);

// True for the stand-in filter's complete output for the original message:
// its header lines at the top, then the whole original.
bool IsTaggedCopyOf(const std::string& tagged, const std::string& original);

}  // namespace saplugin
