#pragma once

// What a program killed half-way (or stopped with its machine) leaves behind.
// A run, a release and sacheck name their passing files after a run name of
// their own and remove them again before they end; these names alone, as the
// programs write them (a run name of 32 upper-case hexadecimal digits, or the
// fixed fallback name with its number), tell such a file, so that nothing
// else in TEMPPATH or in the mail server's queue is ever taken for one:
// - in TEMPPATH: the batch file <run>.BAT and the output <run>.OUT (of a run,
//   of saquarantine learn, of sacheck's trial scans), sacheck's test message
//   sacheck-<run>.eml and its answer sacheck-<run>.out, and a spamd host's
//   record being written, spamd-<host>-<port>.down-<run>.new or .time-<run>.new;
// - in a connector's Inbound\Messages: the copy that takes a message's place
//   when TEMPPATH lies on another volume, <name>.<run>.tmp, and a release's
//   passing file, <id>.<run>.saquarantine.

#include <cstdint>
#include <string>
#include <vector>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// How long after its last write such a file is taken for a leftover: a week.
// A run's filter ends within SCANTIMELIMIT, which counts as a day at most
// (kLongestTimeLimit), and through spamd each host within its SPAMDTIMEOUT,
// a day at most too; the copies and the records above live for one step
// after the filter has ended. Only a filter without a time limit runs longer,
// and one still running after a week has kept its message unscanned all that
// while; even then, on Windows its output cannot be removed while it is being
// written, and a run whose output is gone leaves its message as it was.
constexpr std::int64_t kRunLeftoverAge = 7 * std::int64_t{kLongestTimeLimit};

enum class LeftoverFolder {
  kTempPath,       // TEMPPATH
  kQueueMessages,  // a connector's Inbound\Messages
};

// True when a file of that name in that folder is one that the programs name
// after a run name of their own, as above.
bool IsRunLeftoverName(LeftoverFolder folder, const std::string& name);

// A folder where the programs leave such files.
struct RunFolder {
  LeftoverFolder kind = LeftoverFolder::kTempPath;
  std::string path;       // "\" at its end for TEMPPATH, none for a queue's folder
  std::string connector;  // the queue's connector; empty for TEMPPATH
};

// TEMPPATH (which ends with "\"), when it is set and there and lies outside
// the queue folder (a TEMPPATH there stops every run: what it holds is mail),
// and the Inbound\Messages folder of each connector under the data
// directory's QUEUES folder that has one, when the data directory is known.
// Throws Error when QUEUES cannot be listed.
std::vector<RunFolder> RunFolders(FileSystem& fs, const std::string& temp_path, const std::string& data_directory);

// One file that a killed program left.
struct RunLeftover {
  std::string path;
  std::int64_t size = 0, modified = 0;
  // A release's passing file: the quarantine id whose lock its release held.
  std::string id;
};

// The files in the folder that killed programs left, each older than
// kRunLeftoverAge at now (seconds since 1970 UTC). A file in a queue whose
// pickup file (Inbound\<name>) is there too is a queued message, whatever its
// name says, and is never one. Throws Error when the folder cannot be listed.
std::vector<RunLeftover> FindRunLeftovers(FileSystem& fs, const RunFolder& folder, std::int64_t now);

}  // namespace saplugin
