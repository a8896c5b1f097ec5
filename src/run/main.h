#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace saplugin {

// Exit statuses of the process.
constexpr int kExitNormal = 0;         // the run ended normally, silent gates included
constexpr int kExitTrapped = 1;        // the run ended in the catch-all trap
constexpr int kExitConfiguration = 2;  // an error escaped the trap: configuration or event log
constexpr int kExitNoScan = 3;         // the filter returned no message; nothing was changed
constexpr int kExitTimeLimit = 4;      // the filter took longer than SCANTIMELIMIT; nothing was changed

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
