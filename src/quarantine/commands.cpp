#include "quarantine/commands.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>

#include "config/conversions.h"
#include "helpers/command_line.h"
#include "config/load_options.h"
#include "platform/forwarding_platform.h"
#include "platform/text.h"
#include "quarantine/digest.h"
#include "quarantine/learn.h"
#include "quarantine/queue_view.h"
#include "store/quarantine_store.h"
#include "quarantine/release.h"
#include "run/main.h"
#include "run/read_registry_value.h"
#include "store/names.h"
#include "store/release_mark.h"
#include "store/run_leftovers.h"
#include "store/header_fields.h"
#include "run/scan.h"
#include "store/scan_log.h"

namespace saplugin {

namespace {

const char* const kDescription =
    "Works the quarantine folder (QUARANTINEPATH) of the spamassassinconfig.ini beside saquarantine,\n"
    "or of --config FILE. An ID is a message's run name as list shows it, in either case.";

const char* const kFooter =
    "Exit status: 0 every id was handled; 1 an id is not in the quarantine or misses a part;\n"
    "2 a wrong command line or configuration; 3 a release refused (a queue file of that name,\n"
    "a connector or name that is no queue's, an entry whose run stopped before the queue files\n"
    "went); 4 a file operation failed; 5 a message was not learned; 6 it was learned before, or\n"
    "Bayes is off; 7 another program was working on the message (try again); 8 a digest was\n"
    "refused or not sent. With several, the highest.";

}  // namespace

namespace {

constexpr std::int64_t kDay = 24 * 60 * 60;

bool Contains(const std::string& text, const std::string& part) { return LowerCase(text).find(LowerCase(part)) != std::string::npos; }

// A local time to the minute with its UTC offset, for the listing.
std::string When(std::int64_t seconds) {
  const std::string stamp = ToLocalTime(static_cast<std::time_t>(seconds)).stamp;
  return stamp.substr(0, 10) + " " + stamp.substr(11, 5) + stamp.substr(19);
}

// What the verbs take from the command line.
struct ListFilter {
  int older = -1, newer = -1;
  std::string from, subject, connector;
  bool csv = false;
};
struct ReleaseWords {
  std::string connector;
  bool learn = false, force = false;
  std::vector<std::string> ids;
};
struct PurgeWords {
  int days = -1;  // -1: QUARANTINEDAYS
  bool dry = false;
};

// The exit status an error of a verb stands for.
int StatusOf(const Error& error) {
  return error.Number() == kErrorInUse ? kQuarantineBusy
         : error.Number() == kErrorBadFileName ? kQuarantineUsage  // a word of the command line that is no id
         : error.Number() == kErrorFileNotFound ? kQuarantineNotFound
         : error.Number() == kErrorFileExists || error.Number() == kErrorInvalidArgument ? kQuarantineRefused
                                                                                       : kQuarantineFileFailure;
}

class Commands {
 public:
  Commands(Platform& platform, FileSystem& fs, const PluginOptions& options, std::ostream& out, std::ostream& err)
      : platform_(platform), fs_(fs), options_(options), folder_(options.QuarantinePath), out_(out), err_(err) {}

  int List(const ListFilter& filter) {
    const std::int64_t now = std::time(nullptr);
    const int older = filter.older, newer = filter.newer;
    const bool csv = filter.csv;
    if (csv) out_ << "id,time,size,score,required,connector,name,from,subject,missing,state\n";
    int listed = 0;
    const std::string data_directory = ReadRegistryValue(platform_, kHostRegistryKey, kDataDirectoryValue);
    for (QuarantinedMessage& message : ListQuarantine(fs_, folder_)) {
      if (older >= 0 && message.modified > now - older * kDay) continue;
      if (newer >= 0 && message.modified < now - newer * kDay) continue;
      ReadQuarantineDetails(fs_, folder_, message);
      if (!Contains(message.from, filter.from) || !Contains(message.subject, filter.subject)) continue;
      if (!filter.connector.empty() && !SameIgnoringCase(message.details.connector, filter.connector)) continue;
      ++listed;
      const std::string missing = message.Missing(), left = MessageLeftInQueue(fs_, data_directory, message.details);
      const std::string state = message.StateText() + (left.empty() ? "" : "; its message file is left in the queue as " + left +
                                                       " without its pickup file (release puts the pickup file back, delete removes it)");
      if (csv) {
        out_ << CsvField(message.id) << ',' << ToLocalTime(static_cast<std::time_t>(message.modified)).stamp << ','
             << (message.size < 0 ? "" : std::to_string(message.size)) << ',' << CsvNumberField(message.score) << ','
             << CsvNumberField(message.required) << ',' << CsvTextField(message.details.connector) << ','
             << CsvTextField(message.details.name) << ',' << CsvTextField(message.from) << ',' << CsvTextField(message.subject) << ','
             << CsvField(missing) << ',' << CsvTextField(state) << '\n';
        continue;
      }
      char head[160];
      const std::string score = CleanLine(message.score, 7), connector = CleanLine(message.details.connector, 40);
      std::snprintf(head, sizeof head, "%-32s  %s  %9s  %7s  %-10s  ", message.id.c_str(), When(message.modified).c_str(),
                    message.size < 0 ? "-" : std::to_string(message.size).c_str(), score.empty() ? "-" : score.c_str(),
                    connector.empty() ? "?" : connector.c_str());
      out_ << head << CleanLine(message.from, 40) << "  " << CleanLine(message.subject, 60)
           << (missing.empty() ? "" : "  [missing: " + missing + "]") << (state.empty() ? "" : "  [" + CleanLine(state, 400) + "]") << '\n';
    }
    if (!csv) err_ << "saquarantine: " << listed << " message" << (listed == 1 ? "" : "s") << " listed\n";
    return kQuarantineDone;
  }

  int Show(const std::string& id) {
    QuarantinedMessage message = FindQuarantined(fs_, folder_, id);
    ReadQuarantineDetails(fs_, folder_, message);
    const QuarantineRecord& record = message.details;
    out_ << "Message " << message.id << ": " << (message.size < 0 ? "-" : std::to_string(message.size)) << " bytes, from connector "
         << (record.connector.empty() ? "? (not recorded)" : CleanLine(record.connector, 200)) << " as "
         << (record.name.empty() ? "?" : CleanLine(record.name, 200)) << (record.quarantined.empty() ? "" : ", quarantined " + CleanLine(record.quarantined, 40))
         << '\n';
    if (!message.Missing().empty()) out_ << "Missing: " << message.Missing() << '\n';
    if (!message.StateText().empty()) out_ << "State: " << CleanLine(message.StateText(), 400) << '\n';
    const std::string file = message.output ? QuarantineOutputFile(folder_, message.id) : QuarantineMessageFile(folder_, message.id);
    if (!message.output && !message.message) return kQuarantineNotFound;
    auto reader = fs_.OpenTextFileForReading(file);
    out_ << "\nHeader section (" << (message.output ? "SpamAssassin's output" : "the message") << "):\n";
    HeaderFieldCollector report({"X-Spam-Report", "X-Spam-Status"}, 16 * 1024);
    // A message without an empty line is all header: what is shown is bounded.
    constexpr int kShownHeaderLines = 500;
    int shown = 0;
    while (!reader->AtEndOfStream()) {
      const std::string line = reader->ReadLine(kHeaderLineLimit);
      if (line.empty()) break;
      if (++shown > kShownHeaderLines) {
        out_ << "  (cut here: the header section goes on past " << kShownHeaderLines << " lines)\n";
        break;
      }
      report.Feed(line);
      out_ << "  " << CleanLine(line, 998) << '\n';
    }
    // The report: SpamAssassin's table in the body (report_safe 1 wraps the
    // message in it), else its X-Spam-Report field, else the rules that hit.
    std::vector<std::string> table;
    for (std::size_t read = 0; shown <= kShownHeaderLines && !reader->AtEndOfStream() && read < 1024 * 1024 && table.size() < 200;) {
      const std::string line = reader->ReadLine(kHeaderLineLimit);
      read += line.size() + 2;
      if (table.empty() && line.find("Content analysis details:") == std::string::npos) continue;
      if (table.size() > 3 && line.empty()) break;
      table.push_back(line);
    }
    reader->Close();
    out_ << "\nSpamAssassin's report:\n";
    const auto& fields = report.Values();
    if (!table.empty()) {
      for (const std::string& line : table) out_ << "  " << CleanLine(line, 998) << '\n';
    } else if (fields.count("X-Spam-Report")) {
      out_ << "  " << CleanLine(fields.at("X-Spam-Report"), 16 * 1024) << '\n';
    } else {
      const SpamStatus status = ParseSpamStatus(fields.count("X-Spam-Status") ? fields.at("X-Spam-Status") : "");
      out_ << "  score " << (status.score.empty() ? "-" : CleanLine(status.score, 40)) << " ("
           << (status.required.empty() ? "-" : CleanLine(status.required, 40)) << " required), rules: "
           << (status.rules.empty() ? "-" : CleanLine(status.rules, 998)) << '\n';
    }
    return kQuarantineDone;
  }

  int Release(const ReleaseWords& words) {
    const std::string& connector = words.connector;
    if (!connector.empty() && !IsSingleName(connector)) {
      throw Error(kErrorInvalidArgument, "usage", "--connector takes a connector's name, not \"" + CleanLine(connector, 200) + "\"");
    }
    const bool learn = words.learn;
    const std::string account = AccountName(platform_);
    return EachId(words.ids, [&](const std::string& id) {
      int status = kQuarantineDone;
      QuarantinedMessage done;
      const Released released = ReleaseMessage(platform_, fs_, options_, id, {connector, account, words.force}, [&](const QuarantinedMessage& message) {
        done = message;
        // Learnt as ham only once it is released, from the copy still there.
        if (learn) status = Learn(message, false);
      });
      const std::string canonical = CanonicalRunName(id);
      if (released.before) {
        out_ << canonical << " was released " << CleanLine(released.when, 40) << " by " << CleanLine(released.by, 200)
             << ": it is not put into the queue again\n";
      }
      for (const std::string& left : released.left) {
        err_ << "saquarantine: " << canonical << ": left in the quarantine (saquarantine delete or purge removes it): " << left << '\n';
      }
      if (released.before) return kQuarantineDone;
      out_ << "released " << canonical << " to " << released.pickup_file << '\n';
      try {
        platform_.LogEvent(EventLevel::kInformation, "Released the quarantined message " + canonical + " into the queue of connector " +
                                                         released.connector + " as " + released.pickup_file + ", by " + account + ".");
      } catch (const Error& error) {
        err_ << "saquarantine: warning: the release of " << canonical << " is not in the event log: " << error.Description() << '\n';
      }
      LogReleased(done, released, account);
      return status;
    });
  }

  int Delete(const std::vector<std::string>& ids) {
    return EachId(ids, [&](const std::string& id) {
      DeleteQuarantined(platform_, fs_, options_, id, kQuarantineLockWait);
      out_ << "deleted " << CanonicalRunName(id) << '\n';
      return kQuarantineDone;
    });
  }

  int Purge(const PurgeWords& words) {
    const bool given = words.days >= 0;
    const int days = given ? words.days : options_.QuarantineDays;
    const bool dry = words.dry;
    const std::int64_t now = std::time(nullptr);
    int status = kQuarantineDone, count = 0, marks = 0;
    std::int64_t bytes = 0;
    if (days == 0) {
      err_ << "saquarantine: " << (given ? "--days 0 keeps every message" : "QUARANTINEDAYS is 0 (keep for ever) and no --days given")
           << ": no message is purged\n";
    }
    // Each connector's queue is read once, whatever the number of messages.
    std::vector<RunFolder> run_folders;
    const std::string data_directory = ReadRegistryValue(platform_, kHostRegistryKey, kDataDirectoryValue);
    try {
      run_folders = RunFolders(fs_, options_.TempPath, data_directory);
    } catch (const Error& error) {
      err_ << "saquarantine: " << error.Description() << '\n';
      status = std::max(status, StatusOf(error));
    }
    std::vector<std::string> queues;
    for (const RunFolder& run_folder : run_folders) {
      if (run_folder.kind == LeftoverFolder::kQueueMessages) queues.push_back(run_folder.path);
    }
    QueueView queue_view(fs_, queues);
    for (QuarantinedMessage& message : days == 0 ? std::vector<QuarantinedMessage>() : ListQuarantine(fs_, folder_)) {
      if (message.modified >= now - days * kDay) continue;
      try {
        const std::int64_t removed = dry ? message.bytes : DeleteQuarantined(platform_, queue_view, options_, message.id, 0);
        out_ << (dry ? "would delete " : "deleted ") << message.id << " (" << When(message.modified) << ", " << removed << " bytes"
             << (message.Missing().empty() ? "" : ", missing: " + message.Missing()) << ")\n";
        ++count;
        bytes += removed;
      } catch (const Error& error) {
        // A message that another program is working on waits for the next
        // purge; one that another program removed meanwhile is gone, as asked.
        const bool passed = error.Number() == kErrorInUse || error.Number() == kErrorFileNotFound;
        err_ << "saquarantine: " << message.id << ": " << (passed ? "passed over: " : "") << error.Description() << '\n';
        if (!passed) status = std::max(status, StatusOf(error));
      }
    }
    // Marks whose message never came back within their day pass nothing any
    // more; the mark of a release cut short waits for that release, and one
    // whose message waits in the queue for its run.
    for (const MarkFile& mark : ListReleaseMarks(fs_, folder_, ReadRegistryValue(platform_, kHostRegistryKey, kDataDirectoryValue))) {
      if (!mark.Expired(now)) continue;
      try {
        if (!dry) fs_.DeleteFile(mark.path);
        out_ << (dry ? "would remove " : "removed ") << "the expired release mark " << mark.path << '\n';
        ++marks;
      } catch (const Error& error) {
        err_ << "saquarantine: " << error.Description() << '\n';
        status = std::max(status, StatusOf(error));
      }
    }
    // What a program killed before it made an entry left: a record being
    // written, a lock's file; taken under the id's lock, so never one in use.
    const auto listed = ListQuarantine(fs_, folder_);
    for (const FileEntry& file : fs_.FilesIn(folder_ + "Messages")) {
      const std::size_t dot = file.name.find('.');
      const std::string id = file.name.substr(0, dot), rest = dot == std::string::npos ? "" : file.name.substr(dot);
      if ((rest != ".INF-new" && rest != ".LCK") || !IsRunName(id) || id != CanonicalRunName(id) || now - file.modified <= kDay) continue;
      if (std::any_of(listed.begin(), listed.end(), [&](const QuarantinedMessage& message) { return message.id == id; })) continue;
      const auto lock = dry ? nullptr : LockQuarantined(fs_, folder_, id, 0);
      if (!dry && !lock) continue;
      if (!dry && rest == ".INF-new") fs_.DeleteFile(folder_ + "Messages\\" + file.name);
      out_ << (dry ? "would remove " : "removed ") << "the leftover " << folder_ << "Messages\\" << file.name << '\n';
    }
    if (data_directory.empty()) {
      err_ << "saquarantine: the mail server's data directory is not in the registry: its queues were not looked at\n";
    }
    const int leftovers = PurgeRunLeftovers(queue_view, run_folders, now, dry, status);
    err_ << "saquarantine: " << (dry ? "would purge " : "purged ") << count << " message" << (count == 1 ? "" : "s") << ", " << bytes
         << " bytes" << (days > 0 ? ", older than " + std::to_string(days) + " days" : "") << ", and " << marks << " expired release mark"
         << (marks == 1 ? "" : "s") << '\n';
    if (leftovers > 0) {
      err_ << "saquarantine: " << (dry ? "would remove " : "removed ") << leftovers << " file" << (leftovers == 1 ? "" : "s")
           << " that killed programs left, a week old or more\n";
    }
    return status;
  }

  int LearnVerb(bool spam, const std::vector<std::string>& ids) {
    return EachId(ids, [&](const std::string& id) {
      QuarantinedMessage message = FindQuarantined(fs_, folder_, id);
      return Learn(message, spam);
    });
  }

 private:
  // Removes (or with dry, names) what killed programs left in TEMPPATH and
  // the queues; a release's passing file only under its message's lock, so
  // never while a release of it runs. Answers how many; a file that cannot go
  // is named and raises status.
  int PurgeRunLeftovers(FileSystem& fs, const std::vector<RunFolder>& folders, std::int64_t now, bool dry, int& status) {
    const auto failed = [&](const Error& error) {
      err_ << "saquarantine: " << error.Description() << '\n';
      status = std::max(status, StatusOf(error));
    };
    int count = 0;
    for (const RunFolder& folder : folders) {
      std::vector<RunLeftover> leftovers;
      try {
        leftovers = FindRunLeftovers(fs, folder, now);
      } catch (const Error& error) {
        failed(error);
      }
      for (const RunLeftover& leftover : leftovers) {
        try {
          const auto lock = dry || leftover.id.empty() ? nullptr : LockQuarantined(fs_, folder_, leftover.id, 0);
          if (!dry && !leftover.id.empty() && !lock) continue;
          if (!dry) fs.DeleteFile(leftover.path);
          out_ << (dry ? "would remove " : "removed ") << "what a killed program left: " << leftover.path << " ("
               << When(leftover.modified) << ", " << leftover.size << " bytes)\n";
          ++count;
        } catch (const Error& error) {
          // One that another purge removed meanwhile is gone, as asked.
          if (fs.FileExists(leftover.path)) failed(error);
        }
      }
    }
    return count;
  }

  // Runs the action for every id, each on its own: a failure is reported and
  // the next id goes on.
  int EachId(const std::vector<std::string>& ids, const std::function<int(const std::string&)>& action) {
    int status = kQuarantineDone;
    for (const std::string& id : ids) {
      try {
        status = std::max(status, action(id));
      } catch (const Error& error) {
        err_ << "saquarantine: " << CleanLine(id, 100) << ": " << error.Description() << '\n';
        status = std::max(status, StatusOf(error));
      }
    }
    return status;
  }

  int Learn(const QuarantinedMessage& message, bool spam) {
    if (!message.message) throw Error(kErrorFileNotFound, "saquarantine", message.id + " has no message file to learn from");
    const Learned learned = LearnMessage(platform_, fs_, options_, QuarantineMessageFile(folder_, message.id), spam);
    const int status = learned.failed > 0 || learned.lines.empty() ? kQuarantineLearnFailure
                       : learned.unchanged > 0                    ? kQuarantineNothingLearned
                                                                  : kQuarantineDone;
    for (const std::string& line : learned.lines) {
      (status == kQuarantineDone ? out_ : err_) << (status == kQuarantineDone ? "" : "saquarantine: ") << message.id << ": "
                                                << (spam ? "spam" : "ham") << ": " << line << '\n';
    }
    return status;
  }

  void LogReleased(const QuarantinedMessage& message, const Released& released, const std::string& account) {
    if (options_.ScanLogPath.empty()) return;
    ScanRecord record;
    record.time = ToLocalTime(std::time(nullptr)).stamp;
    record.connector = released.connector;
    record.message = released.name;
    record.size = message.size;
    record.outcome = "released";
    record.reason = "released from the quarantine by " + account;
    record.score = message.score;
    record.required = message.required;
    record.quarantine_file = message.id + ".MAI";
    record.from = message.from;
    record.subject = message.subject;
    try {
      WriteScanLog(platform_, fs_, options_.ScanLogPath, record);
    } catch (const Error& error) {
      err_ << "saquarantine: warning: the scan log could not be written: " << error.Description() << '\n';
    }
  }

  // A text for one line of the listing: valid UTF-8, control characters as blanks, cut.
  static std::string CleanLine(const std::string& text, std::size_t limit);

  Platform& platform_;
  FileSystem& fs_;
  const PluginOptions& options_;
  const std::string folder_;
  std::ostream& out_;
  std::ostream& err_;
};

std::string Commands::CleanLine(const std::string& text, std::size_t limit) {
  return CutAtCharacter(DisplayText(text), limit);
}

}  // namespace

int RunQuarantineCommand(Platform& platform, const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
  CLI::App app(kDescription, "saquarantine");
  app.footer(kFooter);
  app.set_version_flag("--version", kVersionText);
  std::string config = platform.ExecutableDirectory() + "\\" + kConfigFileName;
  app.add_option("--config", config, "the configuration to use instead of the one beside saquarantine")->type_name("FILE");
  app.require_subcommand(1);

  ListFilter filter;
  CLI::App* list = app.add_subcommand("list", "one line per quarantined message, newest first: id, time, size, score,\n"
                                              "connector, From and Subject, the parts that are missing and its state");
  list->add_option("--older-than", filter.older, "only messages quarantined more than DAYS ago")->type_name("DAYS")->check(CLI::NonNegativeNumber);
  list->add_option("--newer-than", filter.newer, "only messages quarantined less than DAYS ago")->type_name("DAYS")->check(CLI::NonNegativeNumber);
  list->add_option("--from", filter.from, "only messages whose From holds TEXT, in any case");
  list->add_option("--subject", filter.subject, "only messages whose Subject holds TEXT, in any case");
  list->add_option("--connector", filter.connector, "only messages of the connector")->type_name("NAME");
  list->add_flag("--csv", filter.csv, "CSV for scripts and spreadsheets (every text field guarded against formulas)");

  std::string shown;
  CLI::App* show = app.add_subcommand("show", "the message's header section and SpamAssassin's report (the rules that hit)");
  show->add_option("ID", shown, "the message")->required();

  ReleaseWords release_words;
  CLI::App* release = app.add_subcommand("release", "puts each message back into its connector's queue, byte for byte as it arrived;\n"
                                                    "its next run passes it unscanned, once, within a day");
  release->add_option("--connector", release_words.connector, "the queue of a message quarantined before records were kept")->type_name("NAME");
  release->add_flag("--learn", release_words.learn, "teach SpamAssassin the message as ham once it is released");
  release->add_flag("--force", release_words.force,
                    "release a message whose quarantining run stopped after copying it, once you know the mail\n"
                    "server did not take it on (it is gone from the queue)");
  release->add_option("ID", release_words.ids, "the messages")->required();

  std::vector<std::string> deleted;
  CLI::App* remove = app.add_subcommand("delete", "removes every file of each message, its release mark among them");
  remove->add_option("ID", deleted, "the messages")->required();

  PurgeWords purge_words;
  CLI::App* purge = app.add_subcommand("purge", "removes the messages older than DAYS (default QUARANTINEDAYS) by the last-write\n"
                                                "time of their files, passing over one in use, the release marks past their day,\n"
                                                "and what killed programs left in TEMPPATH and the queues, a week on");
  purge->add_option("--days", purge_words.days, "the age in days (0 purges no message)")->check(CLI::NonNegativeNumber);
  purge->add_flag("--dry-run", purge_words.dry, "print what would go and remove nothing");

  std::string kind;
  std::vector<std::string> learned;
  CLI::App* learn = app.add_subcommand("learn", "teaches SpamAssassin the quarantined original: every spamd host of SPAMDHOSTS (TELL,\n"
                                                "spamd started with --allow-tell), else the program SALEARNEXE (sa-learn)");
  learn->add_option("KIND", kind, "spam or ham")->required()->check(CLI::IsMember({"spam", "ham"}));
  learn->add_option("ID", learned, "the messages")->required();

  DigestWords digest_words;
  CLI::App* digest = app.add_subcommand("digest", "mails each recipient in DIGESTDOMAINS a list of their messages quarantined since the\n"
                                                  "last digest, each with a link that releases it by reply, through DIGESTSMTP");
  digest->add_flag("--dry-run", digest_words.dry, "print what would be sent and send nothing");
  digest->add_option("--since", digest_words.since_hours, "the messages of the last HOURS instead")->type_name("HOURS")->check(CLI::NonNegativeNumber);
  digest->add_option("--timeout", digest_words.timeout_seconds, "the longest each SMTP step may take (default 30)")
      ->type_name("SECONDS")->check(CLI::Range(1, 3600));

  if (const auto status = ParseCommandLine(app, words, out, err, kQuarantineUsage)) return *status;
  try {
    QuietPlatform quiet(platform);
    PluginOptions options;
    if (!LoadOptionsFrom(quiet, config, options)) {
      err << "saquarantine: " << MissingConfigurationText(config) << '\n';
      return kQuarantineUsage;
    }
    if (options.QuarantinePath.empty()) {
      err << "saquarantine: QUARANTINEPATH is not set in " << config << ": there is no quarantine\n";
      return kQuarantineUsage;
    }
    auto fs = platform.CreateFileSystem();
    Commands commands(platform, *fs, options, out, err);
    if (list->parsed()) return commands.List(filter);
    if (show->parsed()) return commands.Show(shown);
    if (release->parsed()) return commands.Release(release_words);
    if (remove->parsed()) return commands.Delete(deleted);
    if (purge->parsed()) return commands.Purge(purge_words);
    if (digest->parsed()) return RunDigest(platform, *fs, options, digest_words, out, err);
    return commands.LearnVerb(kind == "spam", learned);
  } catch (const Error& error) {
    err << "saquarantine: " << error.Description() << '\n';
    const bool usage = error.Source() == "usage" || error.Source() == "LoadOptions" ||
                       (error.Source() == "saquarantine" && error.Number() == kErrorInvalidArgument);
    return usage ? kQuarantineUsage : error.Number() == kErrorFileNotFound ? kQuarantineNotFound : kQuarantineFileFailure;
  }
}

}  // namespace saplugin
