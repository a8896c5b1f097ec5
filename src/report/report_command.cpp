#include "report/report_command.h"

#include <algorithm>
#include <ctime>
#include <sstream>

#include "config/conversions.h"
#include "config/load_options.h"
#include "helpers/make_run_name.h"
#include "platform/forwarding_platform.h"
#include "platform/paths.h"
#include "store/quarantine_store.h"
#include "report/report_html.h"
#include "report/scan_log_reader.h"
#include "store/scan_log.h"

namespace saplugin {

const char* const kReportUsageText =
    "usage: sareport [--config FILE] [--logs FOLDER] [--days N | --day DAY | --from DAY --to DAY]\n"
    "                [--out FILE] [--no-quarantine]\n"
    "\n"
    "Makes one self-contained HTML page (styles and charts inside it, nothing loaded from the\n"
    "network) from saplugin's scan logs and its quarantine: totals beside the previous period of\n"
    "the same length, messages per day by outcome, the spread of scores and the near misses,\n"
    "the rules that hit most, filter times, connectors, failures by reason, the quarantine.\n"
    "  --logs FOLDER   the scan logs' folder (default: SCANLOGPATH of spamassassinconfig.ini\n"
    "                  beside sareport, or of FILE)\n"
    "  --days N        the last N days, today included (default 7); --day DAY one day, by the\n"
    "                  hour; --from DAY --to DAY a range (DAY as 2026-12-07)\n"
    "  --out FILE      the page (default: saplugin-report-<first day>-to-<last day>.html in the\n"
    "                  scan logs' folder)\n"
    "Prints a short summary and the page's path. Exit status: 0 the page was written (a missing\n"
    "log or bad lines are named in it); 2 a wrong command line or configuration; 4 the page could\n"
    "not be written.\n";

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
  std::string config = platform.ExecutableDirectory() + "\\" + kConfigFileName, logs, out_file, day, from, to;
  int days = 7;
  bool with_quarantine = true;
  try {
    for (std::size_t i = 0; i < words.size(); ++i) {
      const std::string& word = words[i];
      const auto value = [&]() -> const std::string& {
        if (i + 1 >= words.size()) throw Error(kErrorInvalidArgument, "usage", word + " needs a value");
        return words[++i];
      };
      if (word == "--help") {
        out << kReportUsageText;
        return 0;
      } else if (word == "--config") {
        config = value();
      } else if (word == "--logs") {
        logs = value();
      } else if (word == "--out") {
        out_file = value();
      } else if (word == "--days") {
        days = ToInteger32(value(), "--days");
        if (days < 1 || days > 3660) throw Error(kErrorInvalidArgument, "usage", "--days takes 1 to 3660");
      } else if (word == "--day") {
        day = value();
      } else if (word == "--from") {
        from = value();
      } else if (word == "--to") {
        to = value();
      } else if (word == "--no-quarantine") {
        with_quarantine = false;
      } else {
        throw Error(kErrorInvalidArgument, "usage", "unknown word " + word);
      }
    }
    const std::string today = ToLocalTime(std::time(nullptr)).date;
    std::string first = AddDays(today, 1 - days), last = today;
    if (!day.empty()) first = last = day;
    if (!from.empty() || !to.empty()) first = from, last = to.empty() ? today : to;
    if (AddDays(first, 0).empty() || AddDays(last, 0).empty() || first > last) {
      throw Error(kErrorInvalidArgument, "usage", "a day is written as 2026-12-07, and the first comes before the last");
    }

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
        options.ScanLogPath = ScanLogFolder(platform, ReadWholeSetting(platform, config, "SCANLOGPATH"));
        options.QuarantinePath = ReadWholeSetting(platform, config, "QUARANTINEPATH");
        if (!options.QuarantinePath.empty() && options.QuarantinePath.back() != '\\') options.QuarantinePath += '\\';
        loaded = true;
      }
    }
    if (logs.empty()) logs = options.ScanLogPath;
    if (logs.empty()) {
      throw Error(kErrorInvalidArgument, "usage",
                  loaded ? "SCANLOGPATH is not set in " + config + ": name the scan logs' folder with --logs" : config + " is missing: name the scan logs' folder with --logs");
    }
    if (logs.back() != '\\' && logs.back() != '/') logs += '\\';
    auto fs = platform.CreateFileSystem();

    ReportData data(MakePeriod(first, last));
    ReportContext context;
    context.made = ToLocalTime(std::time(nullptr)).stamp;
    context.logs_folder = logs;
    if (!config_problem.empty()) context.notes.push_back(config_problem);
    if (!fs->FolderExists(logs)) {
      context.notes.push_back("The scan logs' folder " + logs + " does not exist: there is nothing to count.");
    } else {
      for (const std::string& note : ReadScanLogs(*fs, logs, data)) context.notes.push_back(note);
    }
    const QuarantineSummary quarantine = SummarizeQuarantine(*fs, with_quarantine && loaded ? options.QuarantinePath : "");

    std::ostringstream page;
    WriteReportHtml(page, data, quarantine, context);
    if (out_file.empty()) out_file = logs + "saplugin-report-" + first + (first == last ? "" : "-to-" + last) + ".html";
    // The page is made whole beside its name, then put in place.
    const std::string temporary = out_file + "." + MakeRunName(platform) + ".tmp";
    try {
      auto writer = fs->CreateNewTextFile(temporary);
      if (!writer) throw Error(kErrorFileExists, "sareport", temporary + " is there already");
      const std::string text = page.str();
      writer->Write(text.data(), text.size());
      writer->Close();
      writer.reset();
      if (!fs->MoveOver(temporary, out_file)) throw Error(kErrorInvalidArgument, "sareport", "Could not move " + temporary + " to " + out_file);
    } catch (const Error& error) {
      if (fs->FileExists(temporary)) fs->DeleteFile(temporary);
      err << "sareport: the report could not be written: " << error.Description() << '\n';
      return 4;
    }
    WriteReportText(out, data, quarantine, context);
    out << "Report: " << out_file << '\n';
    return 0;
  } catch (const Error& error) {
    err << "sareport: " << error.Description() << "\n\n" << kReportUsageText;
    return 2;
  }
}

}  // namespace saplugin
