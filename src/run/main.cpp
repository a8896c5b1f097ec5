#include "run/main.h"

#include <optional>

#include "config/folder_rules.h"
#include "config/load_options.h"
#include "store/release_mark.h"
#include "store/header_fields.h"
#include "store/run_plan.h"
#include "store/queue_paths.h"
#include "run/read_registry_value.h"
#include "run/release_request.h"
#include "store/encoded_words.h"
#include "store/release_token.h"
#include "run/scan.h"
#include "store/scan_log.h"

namespace saplugin {

const char* const kVersionText = "saplugin version " SAPLUGIN_VERSION;
const char* const kUsageText =
    "Usage: saplugin MESSAGEFILE CONNECTOR\n"
    "The mail server starts saplugin once for each message that a connector picks up, with the queued file's name\n"
    "and the connector's name; it scans the message with SpamAssassin as spamassassinconfig.ini beside it says, and\n"
    "reports to the event log. To check a set-up, run sacheck; to work the quarantine, saquarantine.\n"
    "  --version  prints the version\n"
    "  --help     prints this text\n";
const char* const kHostRegistryKey = "SOFTWARE\\Tarkwell\\Tarkwell";
const char* const kDataDirectoryValue = "Data Directory";

namespace {

const char* const kBadSettingEntry = "Can't run SpamAssassin because of a setting in the plugin config file: ";

// The data directory as read before the trap, or, when that read failed, read
// again here, so that what is wrong with the registry ends in the trap.
QueuePaths BuildQueuePaths(Platform& platform, const std::vector<std::string>& words, const std::string& command_line,
                           const std::optional<std::string>& data_directory) {
  if (words.size() < 2) {
    throw Error(kErrorSubscriptOutOfRange, "Main",
                "The command line \"" + command_line + "\" does not hold a message file name and a connector name");
  }
  const std::string data = data_directory ? *data_directory : ReadRegistryValue(platform, kHostRegistryKey, kDataDirectoryValue);
  return MakeQueuePaths(data, words[1], words[0]);
}

// The run after the configuration is loaded; any error leaves it for the trap.
int PickUp(Platform& platform, const PluginOptions& options, const std::optional<std::string>& data_directory, ScanRecord& record) {
  const std::string command_line = platform.CommandLine();
  const std::vector<std::string> words = SplitCommandLine(command_line);
  if (!words.empty()) record.message = words[0];
  if (words.size() > 1) record.connector = words[1];
  const QueuePaths paths = BuildQueuePaths(platform, words, command_line, data_directory);

  auto fs = platform.CreateFileSystem();
  RunFacts facts{options};
  std::string token;
  if (fs->FileExists(paths.message_file)) {
    // The size is read whenever the message exists, so that an unreadable
    // message ends in the trap even with no size limit set.
    record.size = facts.size = fs->FileSize(paths.message_file);
    if (!options.ScanLogPath.empty()) {
      auto fields = ReadHeaderFields(*fs, paths.message_file, {"From", "Subject"}, kScanLogTextLimit);
      record.from = fields["From"];
      record.subject = fields["Subject"];
    }
    if (!options.QuarantinePath.empty()) facts.mark = CheckReleaseMark(*fs, options.QuarantinePath, paths, std::time(nullptr));
    if (!options.DigestFrom.empty()) {
      const QuarantineMailFields fields = ReadQuarantineMailFields(*fs, paths.message_file);
      token = ReleaseRequestToken(options, fields);
      facts.release_request = !token.empty();
      // Only a message with a seal is read again, for its whole header section and body.
      facts.own_digest = !facts.release_request && fields.sealed && IsOwnDigest(platform, *fs, options, paths.message_file);
      // A token stays out of the log, in a request or in mail that only names
      // one: until it is spent it releases a message. The Subject is then
      // logged decoded, where the tokens can be found.
      const std::string decoded = DecodeEncodedWords(record.subject), cleaned = WithoutTokens(decoded);
      if (cleaned != decoded) record.subject = cleaned;
    }
  }
  const RunPlan plan = PlanRun(facts);
  if (plan.action == RunAction::kRequest) {
    const RequestResult result = HandleReleaseRequest(platform, *fs, options, token);
    record.reason = result.reason;
    // What the request did is logged before it goes, so that a request that
    // cannot be removed (a read-only file: the trap) leaves its release on record.
    platform.LogEvent(result.level, result.entry);
    fs->DeleteFile(paths.pickup_file);
    fs->DeleteFile(paths.message_file);
  }
  if (plan.remove_mark) fs->DeleteFile(ReleaseMarkFile(options.QuarantinePath, paths.connector, paths.name));
  record.outcome = plan.outcome;
  if (plan.action != RunAction::kScan) return plan.exit_status;
  return ScanMessage(platform, *fs, facts, paths, record);
}

// Adds the run's line to the scan log; a log that cannot be written changes
// nothing of the run but one Warning entry.
void LogScan(Platform& platform, const PluginOptions& options, const ScanRecord& record) {
  try {
    WriteScanLog(platform, *platform.CreateFileSystem(), options.ScanLogPath, record);
  } catch (const Error& error) {
    platform.LogEvent(EventLevel::kWarning, "Could not write the scan log in " + options.ScanLogPath + ": " + error.Description());
  }
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& command_line) {
  std::vector<std::string> words;
  std::size_t start = 0;
  for (;;) {
    const std::size_t space = command_line.find(' ', start);
    if (space == std::string::npos) break;
    words.push_back(command_line.substr(start, space - start));
    start = space + 1;
  }
  words.push_back(command_line.substr(start));
  // An empty command line holds no word at all.
  if (command_line.empty()) words.clear();
  return words;
}

int Main(Platform& platform) {
  PluginOptions options;
  // Read once for the check of the folders and the queue's paths; empty when the read failed.
  std::optional<std::string> data_directory;
  try {
    if (!LoadOptions(platform, options, false)) return kExitNormal;
    // The connector's own section, when it has one, over the main one's.
    const std::vector<std::string> words = SplitCommandLine(platform.CommandLine());
    if (words.size() > 1) LoadConnectorOptions(platform, ConfigFile(platform), words[1], options);
    // Folders that cannot work stop every run before it touches a message.
    // A registry that cannot be read is the run's own error, named in its trap.
    try {
      data_directory = ReadRegistryValue(platform, kHostRegistryKey, kDataDirectoryValue);
    } catch (const Error&) {
    }
    const auto refuse = [&] {
      const FolderFacts facts = GatherFolderFacts(platform, *platform.CreateFileSystem(), options, data_directory.value_or(""));
      RefuseUnworkableFolders(facts);
      return facts;
    };
    const std::string log_problem = ScanLogFolderProblem(refuse());
    if (!log_problem.empty()) {
      platform.LogEvent(EventLevel::kWarning, kScanLogOffEntry + log_problem);
      options.ScanLogPath.clear();
    }
    // Nothing is made in a queue folder; what is made may be where TEMPPATH leads.
    if (MakeQuarantineFolders(platform, options)) refuse();
  } catch (const Error& error) {
    // The mail server drops what the run prints: a bad setting that would
    // let every message pass unscanned must reach the event log. The
    // quarantine path's error has its entry already.
    if (error.Number() != kErrorQuarantinePath) platform.LogEvent(EventLevel::kError, kBadSettingEntry + error.Description());
    throw;
  }

  ScanRecord record;
  record.time = ToLocalTime(std::time(nullptr)).stamp;
  int status = kExitTrapped;
  std::string reason;
  try {
    status = PickUp(platform, options, data_directory, record);
  } catch (const Error& error) {
    reason = error.Description();
  } catch (const std::exception& error) {
    reason = error.what();
  } catch (...) {
    reason = "Unknown error";
  }
  if (status == kExitTrapped) {
    const RunPlan trap = PlanTrap(reason);
    platform.LogEvent(trap.level, trap.entry);
    record.outcome = trap.outcome;
    record.reason = trap.reason;
  }
  if (!options.ScanLogPath.empty()) LogScan(platform, options, record);
  return status;
}

}  // namespace saplugin
