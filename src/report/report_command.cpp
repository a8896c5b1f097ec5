#include "report/report_command.h"

#include <algorithm>
#include <ctime>
#include <memory>
#include <sstream>

#include "config/conversions.h"
#include "config/load_options.h"
#include "helpers/command_line.h"
#include "helpers/make_run_name.h"
#include "run/main.h"
#include "platform/forwarding_platform.h"
#include "platform/paths.h"
#include "store/quarantine_store.h"
#include "report/policy_replay.h"
#include "report/replay_policy_file.h"
#include "report/report_html.h"
#include "report/scan_log_reader.h"
#include "store/scan_log.h"
#include "store/whole_file.h"

namespace saplugin {

namespace {

const char* const kDescription =
    "Makes one self-contained HTML page (styles and charts inside it, nothing loaded from the\n"
    "network) from saplugin's scan logs and its quarantine: totals beside the previous period of\n"
    "the same length, messages per day by outcome, the spread of scores and the near misses,\n"
    "the rules that hit most, filter times, connectors, failures by reason, the quarantine.\n"
    "The period: the last 7 whole days, ending yesterday, unless --days, --to, --from or --day\n"
    "say otherwise (DAY as 2026-12-07). With --policy, the period's messages replayed under\n"
    "another policy: what would change, per connector, and what of the releases it would catch.";

const char* const kFooter =
    "Prints a short summary and the page's path. Exit status: 0 the page was written (a missing\n"
    "log or bad lines are named in it); 2 a wrong command line or configuration; 4 the page could\n"
    "not be written.";

}  // namespace

namespace {

constexpr std::size_t kNewestQuarantined = 20;

QuarantineSummary SummarizeQuarantine(FileSystem& fs, const std::string& folder) {
  QuarantineSummary summary;
  summary.configured = !folder.empty();
  summary.folder = folder;
  if (!summary.configured) return summary;
  try {
    std::vector<QuarantinedMessage> messages = ListQuarantine(fs, folder);
    summary.messages = static_cast<long>(messages.size());
    for (const QuarantinedMessage& message : messages) summary.held.insert(message.id);
    summary.oldest = messages.empty() ? 0 : messages.back().modified;
    for (const QuarantinedMessage& message : messages) summary.bytes += message.bytes;
    for (std::size_t i = 0; i < messages.size() && i < kNewestQuarantined; ++i) {
      ReadQuarantineDetails(fs, folder, messages[i]);
      summary.newest.push_back(messages[i]);
    }
  } catch (const Error& error) {
    summary.problem = "The quarantine " + folder + " could not be read: " + error.Description();
  }
  return summary;
}

}  // namespace

int RunReportCommand(Platform& platform, const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
  std::string config = platform.ExecutableDirectory() + "\\" + kConfigFileName, logs, out_file, day, from, to, policy_file;
  int days = 7;
  bool without_quarantine = false;
  CLI::App app(kDescription, "sareport");
  app.footer(kFooter);
  app.set_version_flag("--version", kVersionText);
  app.add_option("--config", config, "the configuration whose SCANLOGPATH and QUARANTINEPATH are read, instead of the one beside sareport")
      ->type_name("FILE");
  app.add_option("--logs", logs, "the scan logs' folder (default: SCANLOGPATH)")->type_name("FOLDER");
  CLI::Option* last_days =
      app.add_option("--days", days, "the N whole days that end with --to (default: yesterday)")->type_name("N")->check(CLI::Range(1, 3660));
  CLI::Option* one_day = app.add_option("--day", day, "one day, by the hour")->type_name("DAY")->excludes(last_days);
  app.add_option("--from", from, "the first day of a range (at most 3660 days back)")->type_name("DAY")->excludes(last_days, one_day);
  app.add_option("--to", to, "the last day of the period (default: yesterday, the last whole day)")->type_name("DAY")->excludes(one_day);
  app.add_option("--out", out_file, "the page (default: saplugin-report-<first day>-to-<last day>.html in the scan logs' folder)")
      ->type_name("FILE");
  app.add_flag("--no-quarantine", without_quarantine, "leave the quarantine out");
  app.add_option("--policy", policy_file,
                 "replay the period's lines under FILE's policy (its QUARANTINE, SPAMSCORE, HIGHSCORE, TESTMODE... and [Connector NAME] "
                 "sections): what would change, the releases it would still catch")
      ->type_name("FILE");
  if (const auto status = ParseCommandLine(app, words, out, err, 2)) return *status;
  const bool with_quarantine = !without_quarantine;
  try {
    // Whole days by default: a period that ends today compares a part of a
    // day with whole ones.
    const std::string today = ToLocalTime(std::time(nullptr)).date;
    const std::string last = !day.empty() ? day : !to.empty() ? to : AddDays(today, -1);
    const std::string first = !day.empty() ? day : !from.empty() ? from : AddDays(last, 1 - days);
    for (const std::string& given : {first, last}) {
      if (AddDays(given, 0).empty()) throw Error(kErrorInvalidArgument, "usage", given + " is no day of the calendar: a day is written as 2026-12-07");
    }
    if (first > last) throw Error(kErrorInvalidArgument, "usage", "the first day, " + first + ", comes after the last, " + last);
    if (first < AddDays(today, -3660)) throw Error(kErrorInvalidArgument, "usage", "the period goes back at most 3660 days");

    // SCANLOGPATH as a run reads it; one that names a variable that is not
    // set leaves the runs without a log, and the report without a folder.
    const auto scan_log_folder = [&] {
      const std::string value = ReadWholeSetting(platform, config, "SCANLOGPATH");
      try {
        return ScanLogFolder(platform, value);
      } catch (const Error& error) {
        throw Error(kErrorInvalidArgument, "usage", error.Description() + ": the runs keep no scan log; name its folder with --logs");
      }
    };
    // The report reads the two folders, even from a configuration on which
    // a run would stop (the page then says so).
    QuietPlatform quiet(platform);
    PluginOptions options;
    std::string config_problem;
    bool loaded = false;
    if (platform.CreateFileSystem()->FileExists(config)) {
      try {
        loaded = LoadOptionsFrom(quiet, config, options);
      } catch (const Error& error) {
        config_problem = "The configuration " + config + " stops every run: " + error.Description();
        if (logs.empty()) options.ScanLogPath = scan_log_folder();
        options.QuarantinePath = ReadWholeSetting(platform, config, "QUARANTINEPATH");
        if (!options.QuarantinePath.empty() && options.QuarantinePath.back() != '\\') options.QuarantinePath += '\\';
        loaded = true;
      }
    }
    if (logs.empty()) logs = options.ScanLogPath;
    if (logs.empty() && loaded) scan_log_folder();  // says why, when a variable is not set
    if (logs.empty()) {
      throw Error(kErrorInvalidArgument, "usage",
                  loaded ? "SCANLOGPATH is not set in " + config + ": name the scan logs' folder with --logs" : MissingConfigurationText(config) + ": name the scan logs' folder with --logs");
    }
    // A POSIX path is shown, and joined, with its own separators.
    const auto native = [](std::string path) {
      if (!path.empty() && path[0] == '/') std::replace(path.begin(), path.end(), '\\', '/');
      return path;
    };
    logs = native(logs);
    if (logs.back() != '\\' && logs.back() != '/') logs += logs[0] == '/' ? '/' : '\\';
    options.QuarantinePath = native(options.QuarantinePath);
    auto fs = platform.CreateFileSystem();

    ReportData data(MakePeriod(first, last));
    ReportContext context;
    // Read whole before any log, so that a bad value stops the report at once.
    std::unique_ptr<ReplayPolicyFile> policy;
    std::unique_ptr<PolicyReplay> replay;
    if (!policy_file.empty()) {
      policy = std::make_unique<ReplayPolicyFile>(quiet, policy_file, loaded ? options.QuarantinePath : "");
      replay = std::make_unique<PolicyReplay>([&](const std::string& connector) { return policy->For(connector); });
      data.replay = replay.get();
      context.policy = policy.get();
    }
    context.made = ToLocalTime(std::time(nullptr)).stamp;
    context.logs_folder = logs;
    if (!config_problem.empty()) context.notes.push_back(config_problem);
    if (first <= today && today <= last) context.notes.push_back("The period includes today, which is not over: its figures will still grow.");
    // The quarantine first: the likely false positives offered for release are those it holds now.
    QuarantineSummary quarantine = SummarizeQuarantine(*fs, with_quarantine && loaded ? options.QuarantinePath : "");
    quarantine.left_out = !with_quarantine;
    if (quarantine.configured && quarantine.problem.empty()) data.quarantine_holds = &quarantine.held;
    if (!fs->FolderExists(logs)) {
      context.notes.push_back("The scan logs' folder " + logs + " does not exist: there is nothing to count.");
    } else {
      for (const std::string& note : ReadScanLogs(*fs, logs, data)) context.notes.push_back(note);
    }

    std::ostringstream page;
    WriteReportHtml(page, data, quarantine, context);
    if (out_file.empty()) out_file = logs + "saplugin-report-" + first + (first == last ? "" : "-to-" + last) + ".html";
    // The page is made whole beside its name, then put in place.
    const std::string temporary = out_file + "." + MakeRunName(platform) + ".tmp";
    try {
      const bool moved = PlaceWholeFile(*fs, temporary, out_file, Placing::kOver, [&] {
        auto writer = fs->CreateNewTextFile(temporary);
        if (!writer) throw Error(kErrorFileExists, "sareport", temporary + " is there already");
        const std::string text = page.str();
        writer->Write(text.data(), text.size());
        writer->Close();
      });
      if (!moved) throw Error(kErrorInvalidArgument, "sareport", "Could not move " + temporary + " to " + out_file);
    } catch (const Error& error) {
      err << "sareport: the report could not be written to " << out_file << ": " << error.Description() << '\n';
      return 4;
    }
    WriteReportText(out, data, quarantine, context);
    out << "Report: " << out_file << '\n';
    return 0;
  } catch (const Error& error) {
    err << "sareport: " << error.Description() << "\nRun with --help for more information.\n";
    return 2;
  }
}

}  // namespace saplugin
