#include "config/folder_rules.h"

#include <algorithm>

#include "helpers/batch_text.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace saplugin {

namespace {

char Folded(char c) { return c == '/' ? '\\' : FoldCase(c); }

// A folder setting as the operator wrote it: without the backslash that loading added.
std::string Quote(std::string text) {
  if (text.size() > 1 && text.back() == '\\' && text[text.size() - 2] != '\\' && text[text.size() - 2] != ':' && text[text.size() - 2] != '/') {
    text.pop_back();
  }
  return "\"" + text + "\"";
}

// One folder, by where the two lead or by what they are.
bool SameFolder(const std::string& a, const std::string& b, const std::string& a_identity, const std::string& b_identity) {
  return (SameOrInside(a, b) && SameOrInside(b, a)) || (!a_identity.empty() && a_identity == b_identity);
}

// A folder in the queue folder, by where it leads or by what it is.
bool InQueue(const FolderFacts& facts, const std::string& folder, const std::string& identity) {
  const auto& ids = facts.queue_identities;
  return SameOrInside(folder, facts.queues) || (!identity.empty() && std::find(ids.begin(), ids.end(), identity) != ids.end());
}

}  // namespace

bool SameOrInside(const std::string& folder, const std::string& outer) {
  if (folder.empty() || outer.empty()) return false;
  std::string a, b;
  for (char c : folder) a.push_back(Folded(c));
  for (char c : outer) b.push_back(Folded(c));
  if (a.back() != '\\') a.push_back('\\');
  if (b.back() != '\\') b.push_back('\\');
  return a.compare(0, b.size(), b) == 0;
}

bool IsFullPath(const std::string& path) {
  if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return true;
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

std::vector<FolderProblem> UnworkableFolders(const FolderFacts& facts) {
  std::vector<FolderProblem> problems;
  const std::string temp = "TEMPPATH " + Quote(facts.temp_path), quarantine = "QUARANTINEPATH " + Quote(facts.quarantine_path);
  if (facts.temp_path.empty()) {
    problems.push_back({"TEMPPATH", "TEMPPATH is not set: a run would write its temporary files into whatever folder it starts in (a "
                                    "service's is the system folder); set it to a folder of their own, by its full path"});
  } else if (!facts.temp_on_command_line.empty() && facts.temp_on_command_line != facts.temp_path) {
    problems.push_back({"TEMPPATH", temp + " holds a %NAME% of a set environment variable, which the command interpreter replaces on "
                                    "its own command line before it reads a batch file: it would look for each run's batch file in " +
                                    Quote(facts.temp_on_command_line) + " and no filter would run; write the folder without %NAME%"});
  } else if (SameFolder(facts.temp, facts.quarantine, facts.temp_identity, facts.quarantine_identity)) {
    problems.push_back({"TEMPPATH", temp + " is the quarantine folder (" + quarantine +
                                    "): a run's temporary files would lie among the quarantined messages; give TEMPPATH a folder of its own"});
  } else if (SameFolder(facts.temp, facts.quarantine_messages, facts.temp_identity, facts.quarantine_messages_identity)) {
    problems.push_back({"TEMPPATH", temp + " is the quarantine's Messages folder (" + quarantine +
                                    "): a run's temporary files would lie among the quarantined messages; give TEMPPATH a folder of its own"});
  } else if (InQueue(facts, facts.temp, facts.temp_identity)) {
    problems.push_back({"TEMPPATH", temp + " lies in the mail server's queue folder " + facts.queues +
                                    ": the server would take a run's temporary files for mail; give TEMPPATH a folder outside it"});
  }
  // Its Messages folder may lead elsewhere (a link, a junction) than the folder itself.
  const bool in_queue = InQueue(facts, facts.quarantine, facts.quarantine_identity);
  const bool messages_in_queue = !in_queue && InQueue(facts, facts.quarantine_messages, facts.quarantine_messages_identity);
  if (in_queue || messages_in_queue) {
    problems.push_back({"QUARANTINEPATH", quarantine + (messages_in_queue ? "'s Messages folder" : "") + " lies in the mail server's queue folder " +
                                              facts.queues + ": each quarantined message would be picked up again as new mail and quarantined "
                                              "again, for ever; give QUARANTINEPATH a folder outside it"});
  }
  return problems;
}

std::string WhereFolderLeads(FileSystem& fs, const std::string& path) {
  if (path.empty() || !fs.FolderExists(path)) return "";
  try {
    return fs.FinalPath(path);
  } catch (const Error&) {
    return "";  // a folder that cannot be opened is the error of whoever writes into it
  }
}

FolderFacts GatherFolderFacts(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& data_directory) {
  FolderFacts facts;
  facts.temp_path = options.TempPath;
  facts.temp = WhereFolderLeads(fs, options.TempPath);
  facts.quarantine_path = options.QuarantinePath;
  facts.quarantine = WhereFolderLeads(fs, options.QuarantinePath);
  if (!options.QuarantinePath.empty()) facts.quarantine_messages = WhereFolderLeads(fs, BuildPath(options.QuarantinePath, "Messages"));
  // Not made yet (sacheck makes nothing): where a run would make it.
  if (facts.quarantine_messages.empty() && !facts.quarantine.empty()) facts.quarantine_messages = BuildPath(facts.quarantine, "Messages");
  facts.scan_log = WhereFolderLeads(fs, options.ScanLogPath);
  facts.queues = data_directory.empty() ? "" : WhereFolderLeads(fs, data_directory + "\\QUEUES");
  const auto identity = [&](const std::string& folder) {
    try {
      return !folder.empty() && fs.FolderExists(folder) ? fs.FolderIdentity(folder) : "";
    } catch (const Error&) {
      return std::string();  // what cannot be opened is no second name of another folder
    }
  };
  facts.temp_identity = identity(options.TempPath);
  facts.quarantine_identity = identity(options.QuarantinePath);
  if (!options.QuarantinePath.empty()) facts.quarantine_messages_identity = identity(BuildPath(options.QuarantinePath, "Messages"));
  facts.scan_log_identity = identity(options.ScanLogPath);
  if (!facts.queues.empty()) {
    const std::string queues = data_directory + "\\QUEUES";
    facts.queue_identities.push_back(identity(queues));
    try {
      for (const std::string& connector : fs.FolderNames(queues)) {
        const std::string folder = queues + "\\" + connector;
        for (const std::string& each : {folder, folder + "\\Inbound", folder + "\\Inbound\\Messages"}) facts.queue_identities.push_back(identity(each));
      }
    } catch (const Error&) {
      // A queue folder that cannot be listed leaves its connectors to the comparison of paths.
    }
    facts.queue_identities.erase(std::remove(facts.queue_identities.begin(), facts.queue_identities.end(), ""), facts.queue_identities.end());
  }
  if (options.SpamdHosts.empty()) {
    facts.temp_on_command_line = ExpandCommandText(options.TempPath, [&](const std::string& name) { return platform.EnvironmentValue(name); });
  }
  return facts;
}

std::string ScanLogFolderProblem(const FolderFacts& facts) {
  if (!InQueue(facts, facts.scan_log, facts.scan_log_identity)) return "";
  return "SCANLOGPATH lies in the mail server's queue folder " + facts.queues +
         ", which would take the log's files for mail: give SCANLOGPATH a folder outside it";
}

void RefuseUnworkableFolders(const FolderFacts& facts) {
  const std::vector<FolderProblem> problems = UnworkableFolders(facts);
  if (!problems.empty()) throw Error(kErrorInvalidArgument, "LoadOptions", problems.front().text);
}

}  // namespace saplugin
