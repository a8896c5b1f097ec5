#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "store/run_plan.h"

namespace saplugin {

// "saplugin version X.Y.Z", the version of the programs built.
extern const char* const kVersionText;
// What "saplugin --help" prints: the command line the mail server gives.
extern const char* const kUsageText;

// The host's registry key and value that name its data directory.
extern const char* const kHostRegistryKey;
extern const char* const kDataDirectoryValue;

// The whole life of one pickup run. Loads the configuration, then, under a
// catch-all trap that writes one event-log entry, finds the queued message
// named by the command line and handles it. Returns the exit status. An error
// raised while loading the configuration is not trapped: after an Error entry
// that names the setting, its value and what is wrong, it reaches the caller.
int Main(Platform& platform);

// Splits the raw command line at every single space, with no trimming and no
// quotes: two spaces in a row give an empty word between them.
std::vector<std::string> SplitCommandLine(const std::string& command_line);

}  // namespace saplugin
