#pragma once

#include <ostream>
#include <string>

#include "platform/platform.h"

namespace saplugin {

// sacheck's checks of a set-up, with the code that runs use: each key of the
// configuration file (empty config_file: the one beside the program) as
// written, as a run uses it and its verdict; the host's data directory and
// every connector's queue folders; and a trial scan of a GTUBE message and a
// clean one through the configured filter, in TEMPPATH only; and the policy
// of each section, with the lines of keys no run reads. Prints aligned
// "OK", "WARNING" and "FAIL" lines and a summary to out, changes nothing in a
// queue and writes no event-log entry. Answers 0 when nothing failed, 2 when
// there is no configuration file, else 1.
int RunChecks(Platform& platform, const std::string& config_file, std::ostream& out);

}  // namespace saplugin
