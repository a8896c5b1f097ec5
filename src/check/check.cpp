#include "check/check.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>
#include <vector>

#include "config/conversions.h"
#include "config/load_options.h"
#include "helpers/batch_text.h"
#include "helpers/make_run_name.h"
#include "platform/forwarding_platform.h"
#include "platform/paths.h"
#include "run/main.h"
#include "run/read_registry_value.h"
#include "run/scan.h"

namespace saplugin {

namespace {

const char* const kGtubeMessage[] = {"From: sacheck@example.com", "Subject: sacheck GTUBE test", "",
                                     "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"};
const char* const kCleanMessage[] = {"From: sacheck@example.com", "To: postmaster@example.com",
                                     "Subject: sacheck clean test", "", "A short message that is no spam."};

// The real platform, with the event-log entries that loading writes kept for
// the report instead.
class QuietPlatform : public ForwardingPlatform {
 public:
  using ForwardingPlatform::ForwardingPlatform;
  void LogEvent(EventLevel, const std::string& text) override { entries.push_back(text); }
  std::vector<std::string> entries;
};

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Line(const std::string& status, const std::string& subject, const std::string& detail) {
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
// a probe file there; empty when nothing does.
std::string WriteProblem(FileSystem& fs, const std::string& folder) {
  if (!fs.FolderExists(folder)) return "names no folder";
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

// The number a key's text converts to, as a run converts it, or the error.
std::string Converted(const std::function<long(const std::string&)>& convert, const std::string& text, std::string* problem) {
  try {
    return text.empty() ? "0" : std::to_string(convert(text));
  } catch (const Error& error) {
    *problem = error.Description() + ": every run stops before scanning";
    return "-";
  }
}

void CheckConfiguration(Platform& platform, FileSystem& fs, const std::string& file, Report& report) {
  std::map<std::string, std::string> text;
  for (const char* key : {"QUARANTINE", "MAXMESSAGESIZE", "KEEPORIGINAL", "QUARANTINEPATH", "SPAMASSASSINEXE",
                          "SPAMASSASSINRULESPATH", "TEMPPATH", "SCANTIMELIMIT"}) {
    char buffer[255] = {};
    const std::uint32_t length = platform.ReadProfileString(kConfigSection, key, "", buffer, sizeof buffer, file);
    text[key] = TrimSpaces(std::string(buffer, length));
  }
  auto line = [&](const char* key, const std::string& value, const std::string& problem, bool fail) {
    report.Line(problem.empty() ? "OK" : fail ? "FAIL" : "WARNING", key,
                "\"" + text[key] + "\" -> " + value + (problem.empty() ? "" : ": " + problem));
  };
  std::string problem;
  const std::string quarantine = Converted([](const std::string& t) { return ToInteger16(t, "QUARANTINE"); }, text["QUARANTINE"], &problem);
  if (problem.empty() && text["QUARANTINEPATH"].empty()) problem = "QUARANTINEPATH is not set: quarantining is off, flagged messages are tagged";
  if (problem.empty() && quarantine != "0" && quarantine != "1" && quarantine != "2") {
    problem = "flagged messages are left in the queue as they are";
  }
  line("QUARANTINE", quarantine, problem, problem.find("stops") != std::string::npos);
  problem.clear();
  const std::string size = Converted([](const std::string& t) { return ToInteger32(t, "MAXMESSAGESIZE"); }, text["MAXMESSAGESIZE"], &problem);
  line("MAXMESSAGESIZE", size + (problem.empty() && std::stol(size) <= 0 ? " (no limit)" : ""), problem, true);
  line("KEEPORIGINAL", text["KEEPORIGINAL"] == "1" ? "clean messages stay as received" : "clean messages are tagged", "", false);
  const std::string quarantine_path = text["QUARANTINEPATH"];
  problem = quarantine_path.empty() ? "not set: quarantining is off" : WriteProblem(fs, quarantine_path);
  if (problem.empty() && fs.FolderExists(BuildPath(quarantine_path, "Messages"))) problem = WriteProblem(fs, BuildPath(quarantine_path, "Messages"));
  line("QUARANTINEPATH", quarantine_path.empty() ? "-" : BuildPath(quarantine_path, ""), problem, !quarantine_path.empty());
  // The interpreter reads the filter's two paths, its variables expanded.
  const auto expand = [&](const char* key) {
    return ExpandBatchText(text[key], [&](const std::string& name) { return platform.EnvironmentValue(name); });
  };
  const std::string exe = expand("SPAMASSASSINEXE");
  line("SPAMASSASSINEXE", exe.empty() ? "-" : exe, exe.empty() ? "not set" : fs.FileExists(exe) ? "" : "no such program", true);
  const std::string rules = expand("SPAMASSASSINRULESPATH");
  line("SPAMASSASSINRULESPATH", rules.empty() ? "-" : rules,
       rules.empty() ? "not set" : fs.FileExists(rules) || fs.FolderExists(rules) ? "" : "no such file or folder", true);
  const std::string temp = text["TEMPPATH"];
  line("TEMPPATH", temp.empty() ? "-" : BuildPath(temp, ""), temp.empty() ? "not set" : WriteProblem(fs, temp), true);
  problem.clear();
  const std::string limit = Converted([](const std::string& t) { return ToInteger32(t, "SCANTIMELIMIT"); }, text["SCANTIMELIMIT"], &problem);
  line("SCANTIMELIMIT", limit + (problem.empty() && std::stol(limit) <= 0 ? " (no limit)" : " s"), problem, true);
}

void CheckQueues(Platform& platform, FileSystem& fs, Report& report) {
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
    return;
  }
  const std::string where = std::string("HKEY_LOCAL_MACHINE\\") + kHostRegistryKey + "\\" + kDataDirectoryValue;
  if (data.empty()) {
    report.Line("FAIL", "data directory", where + " is " + (type == "missing" ? "missing" : "empty") + ": no message is ever found");
    return;
  }
  report.Line("OK", "data directory", data + " (" + type + ")");
  std::vector<std::string> connectors;
  try {
    connectors = fs.FolderNames(data + "\\QUEUES");
  } catch (const Error& error) {
    report.Line("FAIL", "queues", error.Description());
    return;
  }
  if (connectors.empty()) report.Line("WARNING", "queues", "no connector under " + data + "\\QUEUES");
  for (const std::string& connector : connectors) {
    const std::string inbound = data + "\\QUEUES\\" + connector + "\\Inbound";
    std::string problem = WriteProblem(fs, inbound);
    if (problem.empty()) problem = WriteProblem(fs, inbound + "\\Messages");
    report.Line(problem.empty() ? "OK" : "FAIL", "connector " + connector,
                problem.empty() ? "Inbound and Inbound\\Messages can be written" : "Inbound or Inbound\\Messages " + problem);
  }
}

// One message through the filter as a run scans it, its files in TempPath only.
void TrialScan(Platform& platform, FileSystem& fs, const PluginOptions& options, const char* name,
               const std::vector<std::string>& lines, Verdict expected, Report& report) {
  const std::string message_file = options.TempPath + "sacheck-" + MakeRunName(platform) + ".eml";
  const auto start = std::chrono::steady_clock::now();
  FilterPass pass;
  std::string outcome;
  try {
    auto writer = fs.OpenTextFileForAppending(message_file);
    for (const std::string& line : lines) writer->WriteLine(line);
    writer->Close();
    pass = RunFilter(platform, fs, options, message_file);
  } catch (const Error& error) {
    outcome = "the filter could not be run: " + error.Description();
  }
  char took[32];
  std::snprintf(took, sizeof took, " (%.2f s)", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  Verdict verdict = Verdict::kNoMessage;
  if (!outcome.empty()) {
  } else if (!pass.exit_status) {
    outcome = "no end within SCANTIMELIMIT: the filter was ended";
  } else if (!fs.FileExists(pass.output_file)) {
    outcome = "nothing came back (no output file): check COMSPEC and the batch file's interpreter";
  } else if (platform.IsCrashStatus(*pass.exit_status)) {
    outcome = "the filter crashed or was killed (status " + std::to_string(*pass.exit_status) + "): check SPAMASSASSINEXE";
  } else if ((verdict = ReadVerdict(fs, pass.output_file)) == Verdict::kNoMessage) {
    auto reader = fs.OpenTextFileForReading(pass.output_file);
    outcome = reader->AtEndOfStream() ? "an empty file came back: check SPAMASSASSINEXE and SPAMASSASSINRULESPATH"
                                      : "text that is no message came back, first line \"" + reader->ReadLine(200) +
                                            "\": check SPAMASSASSINEXE and SPAMASSASSINRULESPATH";
    reader->Close();
  } else if (*pass.exit_status != 0) {
    outcome = "the filter failed with exit status " + std::to_string(*pass.exit_status) +
              ": a run leaves the message unscanned; check SPAMASSASSINEXE and the room in TEMPPATH";
  }
  for (const std::string& file : {message_file, pass.output_file, pass.batch_file}) {
    if (!file.empty() && fs.FileExists(file)) fs.DeleteFile(file);
  }
  const char* verdicts[] = {"no message", "flagged", "clean"};
  if (outcome.empty() && verdict != expected) {
    outcome = std::string("came back ") + verdicts[static_cast<int>(verdict)] + ", not " + verdicts[static_cast<int>(expected)] +
              ": the filter does not scan as SpamAssassin does; check SPAMASSASSINEXE and its rules";
  }
  report.Line(outcome.empty() ? "OK" : "FAIL", std::string("trial scan, ") + name,
              (outcome.empty() ? verdicts[static_cast<int>(verdict)] : outcome) + took);
}

}  // namespace

int RunChecks(Platform& platform, const std::string& config_file, std::ostream& out) {
  Report report(out);
  QuietPlatform quiet(platform);
  auto fs = platform.CreateFileSystem();
  const std::string file = config_file.empty() ? platform.ExecutableDirectory() + "\\" + kConfigFileName : config_file;
  PluginOptions options;
  bool loaded = false;
  if (!fs->FileExists(file)) {
    report.Line("FAIL", "configuration", file + ": no such file; every run ends at once and messages pass unscanned");
  } else {
    report.Line("OK", "configuration", file);
    CheckConfiguration(platform, *fs, file, report);
    try {
      loaded = LoadOptionsFrom(quiet, file, options);
    } catch (const Error& error) {
      report.Line("FAIL", "loading", error.Description() + ": every run stops before scanning");
    }
  }
  for (const std::string& entry : quiet.entries) report.Line("WARNING", "event log", "a run writes: " + entry);
  CheckQueues(platform, *fs, report);
  if (loaded && fs->FolderExists(options.TempPath)) {
    TrialScan(platform, *fs, options, "GTUBE", {std::begin(kGtubeMessage), std::end(kGtubeMessage)}, Verdict::kFlagged, report);
    TrialScan(platform, *fs, options, "clean", {std::begin(kCleanMessage), std::end(kCleanMessage)}, Verdict::kClean, report);
  } else {
    report.Line("FAIL", "trial scan", "not run: the configuration must load and TEMPPATH must be a folder");
  }
  return report.Finish();
}

}  // namespace saplugin
