#pragma once

#include "e2e/sandbox.h"
#include "e2e/scenarios.h"

namespace saplugin {

// Runs one scenario against the build in a fresh sandbox and checks the queue,
// the quarantine folder, the temporary folder, the event log and the exit
// status with GoogleTest assertions.
void RunScenario(const Build& build, const Scenario& scenario);

}  // namespace saplugin
