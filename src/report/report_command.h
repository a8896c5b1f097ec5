#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace saplugin {


// Runs one sareport command line (the words after the program's name): reads
// the scan logs of the period and the quarantine, writes the HTML page,
// prints a summary and the page's path on out, problems on err. Answers the
// exit status: 0 when the page was written (also from logs that were
// missing or held bad lines: the page says so), 2 for a wrong command line
// or configuration, 4 when the page could not be written.
int RunReportCommand(Platform& platform, const std::vector<std::string>& words, std::ostream& out, std::ostream& err);

}  // namespace saplugin
