#pragma once

#include <string>
#include <vector>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// The folders that a run writes into and the mail server's queue folder, each
// as the system names it (FileSystem::FinalPath), where it exists.
struct FolderFacts {
  std::string temp_path;        // TEMPPATH as loaded; empty: not set
  std::string temp;             // where it leads; empty: no such folder
  std::string quarantine_path;  // QUARANTINEPATH as loaded; empty: not set
  std::string quarantine;       // where it leads
  std::string quarantine_messages;  // where its Messages folder leads
  std::string queues;           // where <data directory>\QUEUES leads; empty: not known
  // TEMPPATH as the interpreter's own command line reads it (its %NAME% of a
  // set variable replaced), when the filter runs through the batch file;
  // empty otherwise.
  std::string temp_on_command_line;
  std::string scan_log;  // where SCANLOGPATH leads; empty: not set or no such folder
  // FileSystem::FolderIdentity of the queue folder, of each connector's folder,
  // its Inbound and its Messages; and of the four folders above (empty where
  // there is none), so that a second name the system does not link (a share
  // of a local folder, a bind mount) is known for what it is.
  std::vector<std::string> queue_identities;
  std::string temp_identity, quarantine_identity, quarantine_messages_identity, scan_log_identity;
};

// One setting that cannot work, and why, with the fix.
struct FolderProblem {
  std::string key;  // TEMPPATH or QUARANTINEPATH
  std::string text;
};

// The folder settings that cannot work, TEMPPATH's first: not set; a
// %NAME% the interpreter replaces before any batch file is read; the
// quarantine folder or its Messages folder itself (a run's files among the
// quarantined ones); in the queue folder (the mail server takes what lies
// there for mail, so a quarantined message would be picked up again for ever,
// a run's files taken for messages).
std::vector<FolderProblem> UnworkableFolders(const FolderFacts& facts);

// True when folder is outer or lies below it: both as FinalPath gives them,
// compared as Windows compares names (without regard to letter case, "\" and
// "/" alike).
bool SameOrInside(const std::string& folder, const std::string& outer);

// True for a path that names the same place whatever folder a program starts
// in: a drive and a separator ("C:\"), a UNC path, or a root separator.
bool IsFullPath(const std::string& path);

// Where an existing folder leads (FileSystem::FinalPath); empty when it is
// missing or cannot be opened.
std::string WhereFolderLeads(FileSystem& fs, const std::string& path);

// Gathers the facts of the options' folders and of the data directory's
// queue folder; a folder that cannot be opened has no final path.
FolderFacts GatherFolderFacts(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& data_directory);

// Throws the first unworkable folder setting as an Error whose description
// names the key, its value and the fix.
void RefuseUnworkableFolders(const FolderFacts& facts);

// Why the scan log's folder must not be used (it lies in the queue folder,
// where the mail server would take its files for mail); empty when it may.
// The log never stops a run: without its folder, a run keeps no log.
std::string ScanLogFolderProblem(const FolderFacts& facts);

}  // namespace saplugin
