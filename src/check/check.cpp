#include "check/check.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iterator>
#include <map>
#include <vector>

#include "check/config_outline.h"
#include "check/digest_check.h"
#include "check/policy_check.h"
#include "config/config_keys.h"
#include "config/conversions.h"
#include "config/folder_rules.h"
#include "config/load_options.h"
#include "config/spamd_hosts.h"
#include "helpers/batch_text.h"
#include "helpers/make_run_name.h"
#include "platform/forwarding_platform.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "store/quarantine_store.h"
#include "store/host_health.h"
#include "store/release_mark.h"
#include "store/run_leftovers.h"
#include "run/main.h"
#include "store/header_fields.h"
#include "run/read_registry_value.h"
#include "run/scan.h"
#include "store/scan_log.h"
#include "run/spamd_scan.h"

namespace saplugin {

namespace {

const char* const kGtubeMessage[] = {"From: sacheck@example.com", "Subject: sacheck GTUBE test", "",
                                     "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"};
const char* const kCleanMessage[] = {"From: sacheck@example.com", "To: postmaster@example.com",
                                     "Subject: sacheck clean test", "", "A short message that is no spam."};
#ifdef _WIN32
// The event source's key, as the installer writes it (only Windows has one).
const char* const kEventSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\saplugin";
#endif

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Line(const std::string& status, const std::string& subject, std::string detail) {
    // An error's description may end as a sentence does, and the advice that follows it starts after a colon.
    for (std::size_t at = detail.find(".: "); at != std::string::npos; at = detail.find(".: ", at)) detail.erase(at, 1);
    char head[64];
    std::snprintf(head, sizeof head, "%-8s %-22s ", status.c_str(), subject.c_str());
    out_ << head << detail << '\n';
    ++counts_[status];
  }
  int Finish() {
    out_ << "sacheck: " << counts_["OK"] << " OK, " << counts_["WARNING"] << " WARNING, " << counts_["FAIL"] << " FAIL\n";
    return counts_["FAIL"] == 0 ? 0 : 1;
  }

 private:
  std::ostream& out_;
  std::map<std::string, int> counts_;
};

// What keeps a run from writing into the folder, found by making and removing
// a probe file there; empty when nothing does. A folder in the mail server's
// queue folder (queues) gets no probe: the server would take it for mail.
std::string WriteProblem(FileSystem& fs, const std::string& folder, const std::string& queues) {
  if (!fs.FolderExists(folder)) return "names no folder";
  if (SameOrInside(WhereFolderLeads(fs, folder), queues)) {
    return "lies in the mail server's queue folder " + queues + ", which takes what lies there for mail: choose a folder outside it";
  }
  const std::string probe = BuildPath(folder, "sacheck-probe.tmp");
  try {
    auto writer = fs.CreateNewTextFile(probe);
    if (!writer) return "holds a leftover sacheck-probe.tmp: remove it";
    writer->Close();
    writer.reset();
    fs.DeleteFile(probe);
  } catch (const Error& error) {
    return "cannot be written: " + error.Description();
  }
  return std::string();
}

// What keeps a run from making files in a queue folder, found without making
// one there: a server that watches the folder might take it for a message.
std::string QueueProblem(FileSystem& fs, const std::string& folder) {
  if (!fs.FolderExists(folder)) return "names no folder";
  const std::string problem = fs.FolderAddProblem(folder);
  return problem.empty() ? "" : "cannot be written: " + problem;
}

// What the check of one key found: the value as a run uses it and, when
// something is wrong, the problem and whether it fails the set-up or warns.
struct Finding {
  std::string value, problem;
  bool fails = true;
};

// A key's value converted as a run converts it, into options of its own.
// Throws SettingError for a value that does not convert.
PluginOptions Converted(const char* key, const std::string& text) {
  PluginOptions options;
  if (!text.empty()) FindConfigKey(key)->set(options, text, "", false);
  return options;
}

// A number setting as a run takes it; "none" is said of 0 or less.
Finding Number(const char* key, const std::string& text, long (*taken)(const PluginOptions&), const char* unit, const char* none) {
  try {
    const long value = taken(Converted(key, text));
    return {std::to_string(value) + (value <= 0 ? none : unit), "", true};
  } catch (const Error& error) {
    return {"-", error.Description() + ": every run stops before scanning", true};
  }
}

// A score as a run converts it; empty text: not set.
Finding Score(const std::string& text, const char* key, const char* unset) {
  if (text.empty()) return {unset, "", true};
  try {
    Converted(key, text);
    return {text, "", true};
  } catch (const Error& error) {
    return {"-", error.Description() + ": every run stops before scanning", true};
  }
}

// A folder a run writes into; empty: the problem of a folder that is not set.
Finding Folder(FileSystem& fs, const std::string& path, const char* unset, bool fails, const std::string& queues) {
  if (path.empty()) return {"-", unset, fails};
  return {BuildPath(path, ""), WriteProblem(fs, path, queues), fails};
}

// A path that is not a full one is taken from whatever folder a program starts
// in: sacheck's is not the mail server's.
std::string RelativePathProblem(FileSystem& fs, const std::string& path, bool program) {
  if (path.empty() || IsFullPath(path)) return "";
  return std::string("not a full path: a run takes it from the folder it starts in") + (program ? " (or from PATH)" : "") + ", here " +
         WhereFolderLeads(fs, ".") + ", but a service starts in the system folder (C:\\Windows\\System32); write the full path";
}

// The mail server's data directory; empty when it is not known.
std::string DataDirectory(Platform& platform) {
  try {
    return ReadRegistryValue(platform, kHostRegistryKey, kDataDirectoryValue);
  } catch (const Error&) {
    return "";  // the data directory's own line says why
  }
}

// Checks each key; answers the folder settings that stop every run.
std::vector<FolderProblem> CheckConfiguration(Platform& platform, FileSystem& fs, const std::string& file, const std::string& data_directory,
                                              Report& report) {
  std::map<std::string, std::string> text;
  std::vector<FolderProblem> folder_problems;
  std::string queues;
  const auto folder_problem = [&](const char* key) {
    for (const FolderProblem& problem : folder_problems) {
      if (problem.key == key) return problem.text + ": every run stops before scanning";
    }
    return std::string();
  };
  // The interpreter reads the filter's two paths, its variables expanded.
  const auto expanded = [&](const char* key) {
    return ExpandBatchText(text[key], [&](const std::string& name) { return platform.EnvironmentValue(name); });
  };
  // A digest key: what saquarantine digest takes from it, or why every run stops; a
  // warning when it is missing while another digest key is set.
  const auto digest_key = [&](const char* key, std::string (*shown)(const PluginOptions&)) {
    if (text[key].empty()) {
      const bool others = !text["DIGESTSMTP"].empty() || !text["DIGESTFROM"].empty() || !text["DIGESTDOMAINS"].empty();
      return Finding{"not set", others ? "saquarantine digest needs DIGESTSMTP, DIGESTFROM and DIGESTDOMAINS" : "", false};
    }
    try {
      return Finding{shown(Converted(key, text[key])), "", false};
    } catch (const Error& error) {
      return Finding{"-", error.Description() + ": every run stops before scanning", true};
    }
  };
  const std::map<std::string, std::function<Finding()>> checks = {
      {"DIGESTSMTP", [&] { return digest_key("DIGESTSMTP", [](const PluginOptions& o) { return SpamdHostName(o.DigestSmtp) + ": the digests go through it"; }); }},
      {"DIGESTFROM", [&] { return digest_key("DIGESTFROM", [](const PluginOptions& o) { return o.DigestFrom + ": the digests' sender, where release requests go"; }); }},
      {"DIGESTDOMAINS", [&] {
         return digest_key("DIGESTDOMAINS", [](const PluginOptions& o) {
           std::string domains;
           for (const std::string& domain : o.DigestDomains) domains += (domains.empty() ? "" : ", ") + domain;
           return domains + ": their recipients get a digest";
         });
       }},
      {"QUARANTINE", [&] {
         Finding found = Number("QUARANTINE", text["QUARANTINE"], [](const PluginOptions& o) -> long { return o.Quarantine; }, "", "");
         if (!found.problem.empty()) return found;
         found.fails = false;
         if (text["QUARANTINEPATH"].empty()) {
           found.problem = "QUARANTINEPATH is not set: quarantining is off, flagged messages are tagged";
         } else if (found.value != "0" && found.value != "1" && found.value != "2") {
           found.problem = "flagged messages are left in the queue as they are";
         }
         return found;
       }},
      {"MAXMESSAGESIZE", [&] { return Number("MAXMESSAGESIZE", text["MAXMESSAGESIZE"], [](const PluginOptions& o) -> long { return o.MaxMessageSize; }, "", " (no limit)"); }},
      {"KEEPORIGINAL", [&] {
         return Finding{text["KEEPORIGINAL"] == "1" ? "clean messages stay as received" : "clean messages are tagged", KeepOriginalProblem(text["KEEPORIGINAL"]), false};
       }},
      // The policy's keys; the policy lines below show what they make together.
      {"SPAMSCORE", [&] { return Score(text["SPAMSCORE"], "SPAMSCORE", "not set: the filter's flag decides"); }},
      {"HIGHSCORE", [&] { return Score(text["HIGHSCORE"], "HIGHSCORE", "not set"); }},
      {"HIGHSCOREACTION", [&] {
         if (text["HIGHSCOREACTION"].empty()) return Finding{"not set", "", true};
         return Number("HIGHSCOREACTION", text["HIGHSCOREACTION"], [](const PluginOptions& o) -> long { return *o.HighScoreAction; }, "", "");
       }},
      {"TESTMODE", [&] {
         try {
           return Finding{Converted("TESTMODE", text["TESTMODE"]).TestMode ? "on" : "off", "", false};
         } catch (const Error& error) {
           return Finding{"-", error.Description() + ": every run stops before scanning", true};
         }
       }},
      {"QUARANTINEPATH", [&] {
         const std::string refused = folder_problem("QUARANTINEPATH");
         if (!refused.empty()) return Finding{BuildPath(text["QUARANTINEPATH"], ""), refused, true};
         Finding found = Folder(fs, text["QUARANTINEPATH"], "not set: quarantining is off", !text["QUARANTINEPATH"].empty(), queues);
         const std::string messages = BuildPath(text["QUARANTINEPATH"], "Messages");
         if (found.problem.empty() && fs.FolderExists(messages)) found.problem = WriteProblem(fs, messages, queues);
         return found;
       }},
      {"SPAMASSASSINEXE", [&] {
         if (!text["SPAMDHOSTS"].empty()) return Finding{"not used: SPAMDHOSTS is set", "", true};
         const std::string exe = expanded("SPAMASSASSINEXE");
         return Finding{exe.empty() ? "-" : exe, exe.empty() ? "not set" : fs.FileExists(exe) ? "" : "no such program", true};
       }},
      {"SPAMASSASSINRULESPATH", [&] {
         if (!text["SPAMDHOSTS"].empty()) return Finding{"not used: SPAMDHOSTS is set", "", true};
         const std::string rules = expanded("SPAMASSASSINRULESPATH");
         return Finding{rules.empty() ? "-" : rules,
                        rules.empty() ? "not set" : fs.FileExists(rules) || fs.FolderExists(rules) ? "" : "no such file or folder", true};
       }},
      {"TEMPPATH", [&] {
         const std::string refused = folder_problem("TEMPPATH");
         if (!refused.empty()) return Finding{text["TEMPPATH"].empty() ? "-" : BuildPath(text["TEMPPATH"], ""), refused, true};
         return Folder(fs, text["TEMPPATH"], "not set", true, queues);
       }},
      {"QUARANTINEDAYS", [&] {
         return Number("QUARANTINEDAYS", text["QUARANTINEDAYS"], [](const PluginOptions& o) -> long { return o.QuarantineDays; }, " days, then saquarantine purge removes a message",
                       " (kept for ever)");
       }},
      {"SALEARNEXE", [&] {
         const std::string exe = expanded("SALEARNEXE");
         if (exe.empty()) return Finding{"not set: saquarantine learn needs SPAMDHOSTS", "", false};
         return Finding{exe, fs.FileExists(exe) ? "" : "no such program: saquarantine learn fails", false};
       }},
      {"SCANTIMELIMIT", [&] {
         Finding found = Number("SCANTIMELIMIT", text["SCANTIMELIMIT"], [](const PluginOptions& o) -> long { return o.ScanTimeLimit; }, " s", " (no limit)");
         if (found.problem.empty() && ToInteger32(text["SCANTIMELIMIT"].empty() ? "0" : text["SCANTIMELIMIT"], "") > kLongestTimeLimit) {
           found = {std::to_string(kLongestTimeLimit) + " s", "longer than a day counts as a day", false};
         }
         return found;
       }},
      {"SPAMDHOSTS", [&] {
         try {
           const auto hosts = ParseSpamdHosts(text["SPAMDHOSTS"]);
           return Finding{std::to_string(hosts.size()) + " host" + (hosts.size() == 1 ? "" : "s") + ", checked below", "", true};
         } catch (const Error& error) {
           return text["SPAMDHOSTS"].empty() ? Finding{"not set: the filter runs through the batch file", "", true}
                                             : Finding{"-", error.Description() + ": every run stops before scanning", true};
         }
       }},
      {"SPAMDTIMEOUT", [&] {
         if (text["SPAMDHOSTS"].empty()) return Finding{"not used: SPAMDHOSTS is not set", "", true};
         Finding found = Number("SPAMDTIMEOUT", text["SPAMDTIMEOUT"], [](const PluginOptions& o) -> long { return o.SpamdTimeout; }, " s per host", "");
         if (found.problem.empty() && (text["SPAMDTIMEOUT"].empty() || ToInteger32(text["SPAMDTIMEOUT"], "") <= 0)) found.value += " (the default)";
         return found;
       }},
      {"SPAMDRETRYAFTER", [&] {
         if (text["SPAMDHOSTS"].empty()) return Finding{"not used: SPAMDHOSTS is not set", "", true};
         Finding found = Number("SPAMDRETRYAFTER", text["SPAMDRETRYAFTER"], [](const PluginOptions& o) -> long { return o.SpamdRetryAfter; },
                                " s a failed host is asked after the others", "");
         if (found.problem.empty() && (text["SPAMDRETRYAFTER"].empty() || ToInteger32(text["SPAMDRETRYAFTER"], "") <= 0)) found.value += " (the default)";
         return found;
       }},
      // A log that cannot be written stops no run: each run logs a Warning entry instead.
      {"SCANLOGPATH", [&] {
         std::string folder;
         try {
           folder = ScanLogFolder(platform, text["SCANLOGPATH"]);
         } catch (const Error& error) {
           return Finding{"-", error.Description() + ": runs keep no scan log, and each logs a Warning entry", false};
         }
         Finding found = Folder(fs, folder, "", false, queues);
         if (text["SCANLOGPATH"].empty()) found.value = "no scan log";
         if (SameOrInside(WhereFolderLeads(fs, folder), queues)) {
           found.problem += ": runs keep no scan log, and each logs a Warning entry";
         } else if (!found.problem.empty()) {
           found.problem += ": runs go on without their log lines";
         }
         return found;
       }},
  };
  // Every main-section key as a run reads it, whole; the start of one too long
  // to read whole, and why every run stops.
  std::map<std::string, std::string> unreadable;
  for (const ConfigKey& key : ConfigKeys()) {
    if (!BelongsIn(key, false)) continue;
    try {
      text[key.name] = ReadWholeSetting(platform, file, key.name);
    } catch (const Error& error) {
      char buffer[255] = {};
      const std::uint32_t length = platform.ReadProfileString(kConfigSection, key.name, "", buffer, sizeof buffer, file);
      text[key.name] = Trim(std::string(buffer, length), " ");
      unreadable[key.name] = error.Description();
    }
  }
  // The folders as a run would find them, before anything is made or written in one.
  PluginOptions as_written;
  if (!text["TEMPPATH"].empty()) as_written.TempPath = BuildPath(text["TEMPPATH"], "");
  if (!text["QUARANTINEPATH"].empty()) as_written.QuarantinePath = BuildPath(text["QUARANTINEPATH"], "");
  if (!text["SPAMDHOSTS"].empty()) as_written.SpamdHosts.push_back(SpamdHost{});
  const FolderFacts facts = GatherFolderFacts(platform, fs, as_written, data_directory);
  queues = facts.queues;
  folder_problems = UnworkableFolders(facts);
  for (const ConfigKey& config_key : ConfigKeys()) {
    if (!BelongsIn(config_key, false)) continue;
    const std::string key = config_key.name;
    const auto check = checks.find(key);
    if (check == checks.end()) throw Error(kErrorInvalidArgument, "sacheck", "no check of the key " + key);
    Finding found = unreadable.count(key) > 0 ? Finding{"-", unreadable[key] + ": every run stops before scanning", true} : check->second();
    // A path key's value as a run uses it, where it is one.
    const std::string name = key, used = found.value;
    const bool program = name.size() > 3 && name.compare(name.size() - 3, 3, "EXE") == 0;
    const bool folder = name.size() > 4 && name.compare(name.size() - 4, 4, "PATH") == 0;
    // Where a run finds a relative program (its folder, or PATH) cannot be known here.
    const std::string relative = (program || folder) && !text[key].empty() && used != "-" && used.rfind("not ", 0) != 0 && used != "no scan log"
                                     ? RelativePathProblem(fs, used, program) : "";
    if (!relative.empty() && (program || found.problem.empty())) {
      found = {used, relative, false};
    } else if (!relative.empty()) {
      found.problem += "; " + relative;
    }
    report.Line(found.problem.empty() ? "OK" : found.fails ? "FAIL" : "WARNING", key,
                "\"" + text[key] + "\" -> " + found.value + (found.problem.empty() ? "" : ": " + found.problem));
  }
  return folder_problems;
}

// Answers the connectors found, when the data directory could be read.
std::optional<QueueFolders> CheckQueues(Platform& platform, FileSystem& fs, Report& report) {
  std::string data, type = "missing";
  try {
    data = ReadRegistryValue(platform, kHostRegistryKey, kDataDirectoryValue);
    RegistryKey key = kNoRegistryKey;
    std::uint32_t value_type = kRegNone, size = 0;
    if (platform.OpenRegistryKey(kHostRegistryKey, kRegistryAccess, &key) == kStatusSuccess) {
      if (platform.QueryRegistryValue(key, kDataDirectoryValue, &value_type, nullptr, &size) == kStatusSuccess) {
        const char* const names[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD"};
        type = value_type <= kRegDword ? names[value_type] : "type " + std::to_string(value_type);
      }
      platform.CloseRegistryKey(key);
    }
  } catch (const Error& error) {
    report.Line("FAIL", "data directory", error.Description());
    return std::nullopt;
  }
  const std::string where = std::string("HKEY_LOCAL_MACHINE\\") + kHostRegistryKey + "\\" + kDataDirectoryValue;
  if (data.empty()) {
    report.Line("FAIL", "data directory", where + " is " + (type == "missing" ? "missing" : "empty") + ": no message is ever found");
    return std::nullopt;
  }
  report.Line("OK", "data directory", data + " (" + type + ")");
  std::vector<std::string> connectors;
  try {
    connectors = fs.FolderNames(data + "\\QUEUES");
  } catch (const Error& error) {
    report.Line("FAIL", "queues", error.Description());
    return std::nullopt;
  }
  if (connectors.empty()) report.Line("WARNING", "queues", "no connector under " + data + "\\QUEUES");
  for (const std::string& connector : connectors) {
    const std::string inbound = data + "\\QUEUES\\" + connector + "\\Inbound";
    std::string problem = QueueProblem(fs, inbound);
    if (problem.empty()) problem = QueueProblem(fs, inbound + "\\Messages");
    report.Line(problem.empty() ? "OK" : "FAIL", "connector " + connector,
                problem.empty() ? "Inbound and Inbound\\Messages can be written" : "Inbound or Inbound\\Messages " + problem);
    const std::string name_problem = ConnectorNameProblem(connector);
    if (!name_problem.empty()) report.Line("WARNING", "connector " + connector, name_problem);
  }
  return QueueFolders{data + "\\QUEUES", connectors};
}

// What a trial scan's fault tells the operator to check; empty for none.
std::string TrialFault(FileSystem& fs, const FilterPass& pass, ScanFault fault, bool pool) {
  const FilterFacts& facts = pass.facts;
  // The advice names the keys of the path in use.
  const std::string filter = pool ? "SPAMDHOSTS" : "SPAMASSASSINEXE and SPAMASSASSINRULESPATH";
  switch (fault) {
    case ScanFault::kTimeLimit:
      return pool ? "no spamd host scanned it within SCANTIMELIMIT" + (facts.spamd_failures.empty() ? "" : " (" + facts.spamd_failures + ")") +
                        ": check SPAMDHOSTS and SPAMDTIMEOUT, or raise SCANTIMELIMIT"
                  : "no end within SCANTIMELIMIT: the filter was ended";
    case ScanFault::kLocalFailure:
      return "it could not be sent through spamd: " + facts.local_failure + ": check TEMPPATH";
    case ScanFault::kNoHost:
      return "no spamd host scanned it: " + facts.spamd_failures +
             ": check SPAMDHOSTS (each spamd up, admitting this machine with --allowed-ips) and SPAMDTIMEOUT";
    case ScanFault::kNoOutput:
      return "nothing came back (no output file): check COMSPEC and the batch file's interpreter";
    case ScanFault::kCrashed:
      return "the filter crashed or was killed (status " + std::to_string(*facts.exit_status) + "): check SPAMASSASSINEXE";
    case ScanFault::kNoMessage: {
      auto reader = fs.OpenTextFileForReading(pass.output_file);
      const std::string text = reader->AtEndOfStream() ? "an empty file came back: check " + filter
                                                       : "text that is no message came back, first line \"" + reader->ReadLine(200) + "\": check " + filter;
      reader->Close();
      return text;
    }
    case ScanFault::kFailed:
      return "the filter failed with exit status " + std::to_string(*facts.exit_status) +
             ": a run leaves the message unscanned; check SPAMASSASSINEXE and the room in TEMPPATH";
    case ScanFault::kNone:
      break;
  }
  return "";
}

// One message through the filter as a run scans it, its files in TempPath only;
// required, when given, gets the rules' required score from the answer. It
// changes nothing that the runs share: it writes no record of the spamd hosts
// and no entry (a run's entries would say what its line says).
void TrialScan(Platform& run_platform, FileSystem& fs, const PluginOptions& options, const char* name,
               const std::vector<std::string>& lines, Verdict expected, Report& report, std::string* required = nullptr) {
  QuietPlatform platform(run_platform);
  const std::string message_file = options.TempPath + "sacheck-" + MakeRunName(platform) + ".eml";
  const auto start = std::chrono::steady_clock::now();
  FilterPass pass;
  pass.share_host_records = false;
  const FilterFacts& facts = pass.facts;
  std::string outcome;
  const bool pool = !options.SpamdHosts.empty();
  try {
    auto writer = fs.OpenTextFileForAppending(message_file);
    for (const std::string& line : lines) writer->WriteLine(line);
    writer->Close();
    RunFilter(platform, fs, options, message_file, pass);
  } catch (const Error& error) {
    outcome = (pool ? "it could not be sent through spamd: " : "the filter could not be run: ") + error.Description();
  }
  char took[32];
  std::snprintf(took, sizeof took, " (%.2f s)", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  Verdict verdict = Verdict::kNoMessage;
  if (outcome.empty()) {
    ReadFilterOutput(platform, fs, pass, true);
    const FilterResult result = JudgeFilter(facts);
    if (result.fault == ScanFault::kNone || result.fault == ScanFault::kFailed) {
      verdict = result.flagged ? Verdict::kFlagged : Verdict::kClean;
      if (required != nullptr) *required = facts.required;
    }
    outcome = TrialFault(fs, pass, result.fault, pool);
  }
  for (const std::string& file : {message_file, pass.output_file, pass.batch_file}) {
    if (!file.empty() && fs.FileExists(file)) fs.DeleteFile(file);
  }
  const char* verdicts[] = {"no message", "flagged", "clean"};
  if (outcome.empty() && verdict != expected) {
    outcome = std::string("came back ") + verdicts[static_cast<int>(verdict)] + ", not " + verdicts[static_cast<int>(expected)] +
              (pool ? ": the spamd at " + facts.spamd_host + " does not scan as SpamAssassin does; check its rules (SPAMDHOSTS names it)"
                    : ": the filter does not scan as SpamAssassin does; check SPAMASSASSINEXE and its rules");
  }
  // The hosts it met before the one that scanned, which a run would record.
  const std::string passed_over = facts.spamd_passed_over.empty() ? "" : ", by " + facts.spamd_host + "; passed over: " + facts.spamd_passed_over;
  report.Line(outcome.empty() ? "OK" : "FAIL", std::string("trial scan, ") + name,
              (outcome.empty() ? verdicts[static_cast<int>(verdict)] + passed_over : outcome) + took);
}

// Sums up today's scan-log files, when there are any; a file that cannot be
// read is one FAIL line, and the checks after it still run.
void CheckScanLog(FileSystem& fs, const PluginOptions& options, Report& report) {
  if (options.ScanLogPath.empty()) return;
  const std::string date = ToLocalTime(std::time(nullptr)).date;
  long messages = 0, spam = 0, failures = 0, files = 0;
  double slowest = 0;
  for (int n = 1; n <= kScanLogFilesPerDay; ++n) {
    const std::string file = ScanLogFile(options.ScanLogPath, date, n);
    if (!fs.FileExists(file)) continue;
    ++files;
    try {
      auto reader = fs.OpenTextFileForReading(file);
      if (!reader->AtEndOfStream()) reader->ReadLine(kHeaderLineLimit);  // the header row
      while (!reader->AtEndOfStream()) {
        const std::vector<std::string> fields = ParseCsvLine(reader->ReadLine(4 * kHeaderLineLimit));
        if (fields.size() <= kLogFilterSeconds) continue;
        ++messages;
        spam += fields[kLogVerdict] == "spam";
        failures += IsFailureOutcome(fields[kLogOutcome]);
        if (const std::optional<double> seconds = ReadFilterSeconds(fields[kLogFilterSeconds])) slowest = std::max(slowest, *seconds);
      }
      reader->Close();
    } catch (const Error& error) {
      report.Line("FAIL", "scan log today", error.Description() + ": the log cannot be read");
      return;
    }
  }
  if (files == 0) return;
  char summary[200];
  std::snprintf(summary, sizeof summary, " (%ld file%s): %ld messages, %ld spam, %ld failures, slowest filter %.2f s", files,
                files == 1 ? "" : "s", messages, spam, failures, slowest);
  report.Line(failures == 0 ? "OK" : "WARNING", "scan log today", ScanLogFile(options.ScanLogPath, date) + summary);
}

// The quarantine summed up: messages, bytes, the oldest, parts missing, and
// whether purge keeps it within QUARANTINEDAYS.
void CheckQuarantine(FileSystem& fs, const PluginOptions& options, const std::string& data_directory, Report& report) {
  if (options.QuarantinePath.empty()) return;
  std::vector<QuarantinedMessage> messages;
  try {
    messages = ListQuarantine(fs, options.QuarantinePath);
  } catch (const Error& error) {
    report.Line("FAIL", "quarantine", error.Description());
    return;
  }
  const std::int64_t now = std::time(nullptr);
  std::int64_t bytes = 0, oldest = now;
  long missing = 0, unrecorded = 0, overdue = 0, unsettled = 0, blocking = 0;
  std::string blocked;
  for (const QuarantinedMessage& message : messages) {
    // Only the record says whether a run or a release stopped half-way; no header section is read.
    if (message.record) {
      try {
        const QuarantineRecord record = ReadQuarantineRecord(fs, options.QuarantinePath, message.id);
        unsettled += record.state != EntryState::kWhole;
        const std::string left = MessageLeftInQueue(fs, data_directory, record);
        if (!left.empty() && ++blocking <= 5) blocked += (blocked.empty() ? "" : ", ") + left;
      } catch (const Error&) {
        // An unreadable record is counted by the listing's own check of the parts.
      }
    }
    bytes += message.bytes;
    oldest = std::min(oldest, message.modified);
    missing += !message.Missing().empty();
    unrecorded += !message.record;
    overdue += options.QuarantineDays > 0 && message.modified < now - std::int64_t{options.QuarantineDays} * 86400;
  }
  char summary[200];
  std::snprintf(summary, sizeof summary, "%zu message%s, %.1f MB, the oldest %lld days old", messages.size(), messages.size() == 1 ? "" : "s",
                bytes / 1048576.0,
                static_cast<long long>((now - oldest) / 86400));
  std::string detail = summary;
  if (missing > 0) detail += ", " + std::to_string(missing) + " with parts missing (saquarantine list shows which)";
  if (unsettled > 0) {
    detail += ", " + std::to_string(unsettled) + " whose run or release stopped half-way (saquarantine list shows what each needs)";
  }
  if (blocking > 0) {
    detail += ", " + std::to_string(blocking) + " whose message file is left in the queue without its pickup file, blocking its name (" +
              blocked + (blocking > 5 ? ", ..." : "") + "): saquarantine release puts the pickup file back, delete removes the file";
  }
  if (unrecorded > 0) detail += ", " + std::to_string(unrecorded) + " without a record of their connector (release them with --connector)";
  if (overdue > 0) {
    detail += ": " + std::to_string(overdue) + " older than QUARANTINEDAYS (" + std::to_string(options.QuarantineDays) +
              "): purge is not running; schedule saquarantine purge";
  }
  report.Line(overdue > 0 || unsettled > 0 ? "WARNING" : "OK", "quarantine", detail);

  // Release marks: each lets its message pass one run unscanned, for a day.
  std::vector<MarkFile> marks;
  try {
    marks = ListReleaseMarks(fs, options.QuarantinePath, data_directory);
  } catch (const Error& error) {
    report.Line("FAIL", "release marks", error.Description());
    return;
  }
  std::string expired;
  long expired_count = 0, kept = 0;
  for (const MarkFile& mark : marks) {
    kept += mark.release_cut_short;
    if (!mark.Expired(now)) continue;
    ++expired_count;
    if (expired_count <= 5) expired += (expired.empty() ? "" : ", ") + mark.path;
  }
  if (marks.empty()) return;
  std::string line = std::to_string(marks.size()) + " waiting for the run of their released message";
  if (expired_count > 0) {
    line += ": " + std::to_string(expired_count) + " past their day, which pass nothing and go with saquarantine purge (" + expired +
            (expired_count > 5 ? ", ..." : "") + ")";
  }
  if (kept > 0) line += "; " + std::to_string(kept) + " of releases that were cut short (saquarantine list shows which: release them again)";
  report.Line(expired_count > 0 || kept > 0 ? "WARNING" : "OK", "release marks", line);
}

// What killed programs left in TEMPPATH and the queues (a run cut short, a
// release, sacheck itself): nothing but purge ever removes it.
void CheckRunLeftovers(FileSystem& fs, const PluginOptions& options, const std::string& data_directory, Report& report) {
  const std::int64_t now = std::time(nullptr);
  std::vector<RunFolder> folders;
  try {
    folders = RunFolders(fs, options.TempPath, data_directory);
  } catch (const Error& error) {
    report.Line("WARNING", "leftovers", "the queues were not looked at: " + error.Description());
  }
  std::size_t count = 0;
  std::string where;
  for (const RunFolder& folder : folders) {
    std::size_t found = 0;
    try {
      found = FindRunLeftovers(fs, folder, now).size();
    } catch (const Error& error) {
      report.Line("WARNING", "leftovers", "not looked at: " + error.Description());
    }
    if (found == 0) continue;
    count += found;
    where += (where.empty() ? "" : ", ") + std::to_string(found) + " in " +
             (folder.connector.empty() ? "TEMPPATH" : "the queue of connector " + folder.connector);
  }
  if (count == 0) return;
  report.Line("WARNING", "leftovers", std::to_string(count) + " file" + (count == 1 ? "" : "s") +
                                          " that killed programs left, a week old or more (" + where + "): saquarantine purge removes them");
}

// Whether the body of the file (past its header section) holds the body of
// the message given by its lines, its lines in their order: spamd keeps the
// body it was sent, though it may wrap it, with a report, into a new one.
bool BodyHoldsTheMessagesBody(FileSystem& fs, const std::string& file, const std::vector<std::string>& message) {
  auto wanted = std::find(message.begin(), message.end(), "");
  if (wanted != message.end()) ++wanted;
  auto reader = fs.OpenTextFileForReading(file);
  bool body = false;
  while (wanted != message.end() && !reader->AtEndOfStream()) {
    const std::string line = reader->ReadLine(kHeaderLineLimit);
    if (body && line == *wanted) ++wanted;
    body = body || line.empty();
  }
  reader->Close();
  return wanted == message.end();
}

// Every host of the spamd pool, each on its own as a run meets it: PING, then
// the GTUBE message to scan, the whole within the host's SPAMDTIMEOUT. A host
// that answers PING but cannot scan costs each run that starts with it a
// failed exchange, like one that is down; a pool where none scans, scans
// nothing; a host whose spamd does not flag GTUBE has its answers taken by
// the runs, and lets spam through.
void CheckSpamdHosts(Platform& platform, FileSystem& fs, const PluginOptions& options, Report& report) {
  if (options.SpamdHosts.empty()) return;
  // Each stalled host takes SPAMDTIMEOUT of the scan's time: after one, the
  // next needs as much again.
  const std::int32_t limit = options.ScanTimeLimit, timeout = options.SpamdTimeout;
  if (options.SpamdHosts.size() > 1 && limit > 0 && limit < 2 * std::int64_t{timeout}) {
    report.Line("WARNING", "spamd pool",
                "SCANTIMELIMIT (" + std::to_string(limit) + " s) is less than twice SPAMDTIMEOUT (" + std::to_string(timeout) +
                    " s): after a host that stalls, the next has " + std::to_string(std::max<std::int32_t>(0, limit - timeout)) +
                    " s, and the message is left unscanned; set SCANTIMELIMIT to at least " + std::to_string(2 * std::int64_t{timeout}) +
                    (limit / 2 >= 1 ? " or SPAMDTIMEOUT to at most " + std::to_string(limit / 2) : std::string()));
  }
  if (!fs.FolderExists(options.TempPath)) {
    report.Line("FAIL", "spamd hosts", "not asked: the GTUBE message for each is written in TEMPPATH, which must be a folder");
    return;
  }
  const std::string name = options.TempPath + "sacheck-" + MakeRunName(platform), message_file = name + ".eml", output_file = name + ".out";
  try {
    auto writer = fs.OpenTextFileForAppending(message_file);
    for (const char* line : kGtubeMessage) writer->WriteLine(line);
    writer->Close();
  } catch (const Error& error) {
    if (fs.FileExists(message_file)) fs.DeleteFile(message_file);
    report.Line("FAIL", "spamd hosts", "not asked: the GTUBE message could not be written: " + error.Description() + ": check TEMPPATH");
    return;
  }
  struct Line {
    std::string status, text;  // no status: the host cannot scan; the others decide how grave that is
  };
  std::vector<Line> lines;
  std::size_t scanning = 0;
  const std::int64_t now = std::time(nullptr);
  for (const SpamdHost& host : options.SpamdHosts) {
    // What the runs recorded of it: they ask it after the others until its time is past.
    const std::optional<HostFailure> failure = ReadHostFailure(fs, options.TempPath, host, now);
    const std::string recorded = !failure ? ""
                                 : "; the runs recorded it failed " + ToLocalTime(static_cast<std::time_t>(failure->failed)).stamp + " (" +
                                       failure->what + ")" + (now - failure->failed < options.SpamdRetryAfter ? ", and ask it after the others for now" : "");
    const auto start = std::chrono::steady_clock::now();
    Milliseconds ping = -1;
    Line line;
    try {
      auto output = fs.OpenTextFileForAppending(output_file);
      const SpamdAnswer answer = ScanThroughHost(platform, fs, host, message_file, *output, timeout, &ping);
      output->Close();
      output.reset();
      char took[96];
      std::snprintf(took, sizeof took, "PONG in %lld ms, GTUBE scanned in %.2f s", static_cast<long long>(ping),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      const std::string score = answer.score.empty() ? "" : " ; " + answer.score + " / " + answer.required;
      if (ReadVerdict(fs, output_file) == Verdict::kNoMessage) {
        line = {"", std::string(took) + ", but it answered with no message"};
      } else if (!answer.spam) {
        line = {"FAIL", std::string(took) + ", but its answer has no Spam field: check that SPAMDHOSTS names a spamd"};
      } else if (!*answer.spam) {
        line = {"FAIL", std::string(took) + ", but it answered Spam: False" + score +
                            " for GTUBE: the runs take its answers and let spam through; check that host's spamd rules"};
      } else if (!BodyHoldsTheMessagesBody(fs, output_file, {std::begin(kGtubeMessage), std::end(kGtubeMessage)})) {
        // The runs pass over an answer whose body is far off in size, but not one that is near and another.
        line = {"FAIL", std::string(took) + ", but its answer's body is not the GTUBE message's that was sent: the runs may take its answers and "
                                            "lose the messages' text; check that SPAMDHOSTS names a spamd"};
      } else {
        line = {failure ? "WARNING" : "OK", std::string(took) + ": Spam: True" + score};
        ++scanning;
      }
    } catch (const Error& error) {
      // The line names the host already.
      std::string what = error.Description();
      const bool named = what.rfind(SpamdHostName(host) + " ", 0) == 0;
      if (named) what.erase(0, SpamdHostName(host).size() + 1);
      line = {"", ping < 0 ? what : "PONG in " + std::to_string(ping) + " ms, but then " + (named ? "it " : "for GTUBE: ") + what};
    }
    line.text += recorded;
    lines.push_back(line);
    if (fs.FileExists(output_file)) fs.DeleteFile(output_file);
  }
  fs.DeleteFile(message_file);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const bool down = lines[i].status.empty();
    report.Line(!down ? lines[i].status : scanning > 0 ? "WARNING" : "FAIL", "spamd " + SpamdHostName(options.SpamdHosts[i]),
                lines[i].text + (down && scanning > 0 ? ": the other hosts scan instead" : down ? ": check SPAMDHOSTS and SPAMDTIMEOUT" : ""));
  }
}

// Whether Event Viewer finds the entries' texts: the event source must name
// saplugin.exe beside sacheck as its message file.
void CheckEventSource(Platform& platform, Report& report) {
#ifdef _WIN32
  const std::string expected = platform.ExecutableDirectory() + "\\saplugin.exe";
  const std::string registered = ExpandCommandText(ReadRegistryValue(platform, kEventSourceKey, "EventMessageFile"),
                                                   [&](const std::string& name) { return platform.EnvironmentValue(name); });
  // Windows paths match without regard to letter case.
  if (registered.size() == expected.size() && StartsWithIgnoringCase(registered, expected)) {
    report.Line("OK", "event source", "saplugin: its texts come from " + expected);
  } else {
    report.Line("WARNING", "event source", (registered.empty() ? "saplugin is not registered" : "saplugin's message file is " + registered) +
                                               ": Event Viewer shows the entries without their text; register " + expected);
  }
#else
  static_cast<void>(platform);
  static_cast<void>(report);
#endif
}

}  // namespace

int RunChecks(Platform& platform, const std::string& config_file, std::ostream& out) {
  Report report(out);
  QuietPlatform quiet(platform);
  auto fs = platform.CreateFileSystem();
  const std::string file = config_file.empty() ? platform.ExecutableDirectory() + "\\" + kConfigFileName : config_file;
  PluginOptions options;
  bool loaded = false;
  std::optional<ConfigOutline> outline;
  std::vector<FolderProblem> folder_problems;
  if (!fs->FileExists(file)) {
    report.Line("FAIL", "configuration", MissingConfigurationText(file) + "; every run ends at once and messages pass unscanned");
  } else {
    report.Line("OK", "configuration", file);
    folder_problems = CheckConfiguration(platform, *fs, file, DataDirectory(platform), report);
    try {
      outline = ReadConfigOutline(*fs, file);
      for (const CheckLine& line : CheckOutline(*outline)) report.Line(line.status, line.subject, line.detail);
    } catch (const Error& error) {
      report.Line("FAIL", "configuration", error.Description() + ": its lines cannot be read");
    }
    try {
      loaded = LoadOptionsFrom(quiet, file, options, false);
    } catch (const Error& error) {
      report.Line("FAIL", "loading", error.Description() + ": every run stops before scanning");
    }
  }
  for (const std::string& entry : quiet.entries) report.Line("WARNING", "event log", "a run writes: " + entry);
  if (loaded) CheckScanLog(*fs, options, report);
  if (loaded) CheckQuarantine(*fs, options, DataDirectory(platform), report);
  if (loaded) CheckRunLeftovers(*fs, options, DataDirectory(platform), report);
  // What the checks below write goes into TEMPPATH, and only where a run's files may go.
  const bool temp_works = std::none_of(folder_problems.begin(), folder_problems.end(), [](const FolderProblem& p) { return p.key == "TEMPPATH"; });
  if (loaded && temp_works) CheckSpamdHosts(platform, *fs, options, report);
  if (loaded) {
    for (const CheckLine& line : CheckDigest(platform, *fs, options, 10000)) report.Line(line.status, line.subject, line.detail);
  }
  CheckEventSource(platform, report);
  const std::optional<QueueFolders> queues = CheckQueues(platform, *fs, report);
  std::string required;
  if (loaded && temp_works && fs->FolderExists(options.TempPath)) {
    TrialScan(platform, *fs, options, "GTUBE", {std::begin(kGtubeMessage), std::end(kGtubeMessage)}, Verdict::kFlagged, report, &required);
    TrialScan(platform, *fs, options, "clean", {std::begin(kCleanMessage), std::end(kCleanMessage)}, Verdict::kClean, report);
  } else {
    report.Line("FAIL", "trial scan", temp_works ? "not run: the configuration must load and TEMPPATH must be a folder"
                                                 : "not run: TEMPPATH cannot work (see its line)");
  }
  // The policy of each section, as runs lay it: it needs the connectors and the rules' required score.
  if (loaded && outline) {
    for (const CheckLine& line : CheckPolicies(quiet, file, *outline, options, queues, required)) report.Line(line.status, line.subject, line.detail);
  }
  const int status = report.Finish();
  // As the other programs answer a configuration that is not there.
  return fs->FileExists(file) ? status : 2;
}

}  // namespace saplugin
