#include "e2e/quarantine.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "platform/text.h"
#include "store/scan_log.h"

namespace saplugin {

namespace {

const std::string kFormulaSpam = "From: =cmd|' /C calc'!A0 <x@example.org>\r\nSubject: Cheap \xE9 watches\r\n\r\n"
                                 "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X\r\n";

// The files of a message in the quarantine, by their paths under it.
std::vector<std::string> FilesOf(const QuarantineBox& box, const std::string& name) { return EntryFiles(box, box.Id(name)); }

int FilesLeft(const QuarantineBox& box) { return static_cast<int>(FilesIn(box.quarantine).size() + FilesIn(box.quarantine + "/Messages").size()); }

// Every file of the message is in the quarantine as the run left it.
void ExpectQuarantined(const QuarantineBox& box, const std::string& name) {
  const auto files = FilesOf(box, name);
  EXPECT_EQ(ReadFile(files[0]), "pickup of " + name + "\r\n");
  EXPECT_EQ(ReadFile(files[1]), box.originals.at(name));
  EXPECT_TRUE(Exists(files[2]) && Exists(files[3])) << name;
}

// Nothing of the message reached the queue, and no mark was left for it.
void ExpectNothingReleased(QuarantineBox& box, const RunResult&) {
  ExpectQuarantined(box, "A.MAI");
  EXPECT_TRUE(FilesIn(box.messages).empty() && FilesIn(box.inbound).empty());
  EXPECT_FALSE(std::filesystem::exists(box.data + "/outside"));
  EXPECT_FALSE(std::filesystem::exists(box.quarantine + "/Released/" + box.connector + "/A.MAI"));
}

// A released message: in its queue as it arrived, gone from the quarantine,
// its release in the event log and the scan log; its next run passes it
// unscanned, once.
void ExpectReleased(QuarantineBox& box, const std::string& name, const std::string& queued_as) {
  EXPECT_EQ(ReadFile(box.messages + "/" + queued_as), box.originals.at(name));
  EXPECT_EQ(ReadFile(box.inbound + "/" + queued_as), "pickup of " + name + "\r\n");
  for (const std::string& file : FilesOf(box, name)) EXPECT_FALSE(Exists(file)) << file;
  const std::vector<std::string> events = box.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_TRUE(Has(events.back(), ("Released the quarantined message " + box.Id(name) + " into the queue of connector " + box.connector).c_str()))
      << events.back();
  EXPECT_EQ(box.Run({queued_as, box.connector}).status, 0);
  EXPECT_EQ(ReadFile(box.messages + "/" + queued_as), box.originals.at(name));  // neither tagged nor quarantined again
  EXPECT_TRUE(FilesIn(box.quarantine + "/Released").empty());
  const std::vector<std::string> log = box.ScanLogLines();
  ASSERT_GE(log.size(), 2u);
  for (const std::string& line : {log[log.size() - 2], log.back()}) {
    const auto f = ParseCsvLine(line);
    EXPECT_EQ(f[kLogMessage] + " " + f[kLogOutcome], queued_as + " released") << line;
  }
  EXPECT_TRUE(Has(ParseCsvLine(log[log.size() - 2])[kLogReason], "released from the quarantine by ")) << log[log.size() - 2];
}

}  // namespace

QuarantineBox::QuarantineBox(const Build& build) : Sandbox(build) {
  Configure();
  originals = {{"A.MAI", kSpam}, {"B.MAI", kFormulaSpam}, {"C.MAI", kSpam + "Another.\r\n"}};
  for (const auto& [name, message] : originals) {
    Queue(name, message);
    EXPECT_EQ(Run({name, connector}).status, 0) << name;
    ids[name] = IdOf(*this, name);
    EXPECT_EQ(ids[name].size(), 32u) << name;
    marks["{" + name.substr(0, 1) + "}"] = ids[name];
    marks[std::string{'{', FoldCase(name[0]), '}'}] = LowerCase(ids[name]);
  }
  Age("A.MAI", std::chrono::hours(72));
  Age("B.MAI", std::chrono::hours(48));
}

void QuarantineBox::Age(const std::string& name, std::chrono::seconds by) {
  const auto then = std::filesystem::file_time_type::clock::now() - by;
  for (const std::string& file : FilesOf(*this, name)) {
    std::error_code missing;
    std::filesystem::last_write_time(file, then, missing);
  }
}

RunResult QuarantineBox::Quarantine(std::vector<std::string> words) {
  for (std::string& word : words) word = Expand(word);
  return Run(words, "saquarantine");
}

std::vector<QuarantineCase> QuarantineCases(int build) {
  const std::vector<QuarantineCase> table = {
      {"ListShowsEveryMessageNewestFirst", kBoth, "", {"list"}, 0, "{C}\n{B}\n{A}\n3 messages listed",
       [](QuarantineBox& box, const RunResult& run) {
         EXPECT_TRUE(Has(run.output, ("  1000.0  " + box.connector).c_str()) && Has(run.output, "s@example.net  Offer")) << run.output;
       }},
      {"ListAsCsvFiltersBySenderAndMarksAFormula", kBoth, "", {"list", "--csv", "--from", "EXAMPLE.ORG"}, 0,
       "id,time,size,score,required,connector,name,from,subject,missing,state\n{B},",
       [](QuarantineBox& box, const RunResult& run) {
         const std::string line = run.output.substr(run.output.find('\n') + 1);
         const auto f = ParseCsvLine(line.substr(0, line.find('\n')));
         ASSERT_EQ(f.size(), 11u) << line;
         EXPECT_EQ(f[2] + " " + f[3] + " " + f[5] + " " + f[6], std::to_string(kFormulaSpam.size()) + " 1000.0 " + box.connector + " B.MAI");
         EXPECT_EQ(f[7] + "|" + f[8] + "|" + f[9] + "|" + f[10], "'=cmd|' /C calc'!A0 <x@example.org>|Cheap \xC3\xA9 watches||");
         EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 2);
       }},
      {"ListFiltersByAgeSubjectAndConnector", kLinux, "", {"list", "--older-than", "1", "--subject", "offer", "--connector", "conn"}, 0, "{A}",
       [](QuarantineBox& box, const RunResult& run) { EXPECT_FALSE(Has(run.output, box.Id("C.MAI").c_str()) || Has(run.output, box.Id("B.MAI").c_str())); }},
      {"ListShowsWhatIsMissing", kBoth, "no-output B no-pickup A", {"list"}, 0,
       "{C}\n{B}\n[missing: SpamAssassin's output]\n{A}\n[missing: pickup file]", nullptr},
      {"ShowPrintsTheHeaderAndTheRules", kBoth, "", {"show", "{A}"}, 0,
       "Message {A}: \n  X-Spam-Status: Yes, score=1000.0 required=5.0 tests=GTUBE\n  Subject: Offer\nSpamAssassin's report:\nrules: GTUBE", nullptr},
      {"ReleasePutsTheMessageBackAndItsNextRunPassesIt", kBoth, "", {"release", "{A}"}, 0, "released {A} to ",
       [](QuarantineBox& box, const RunResult&) {
         ExpectReleased(box, "A.MAI", "A.MAI");
         ExpectQuarantined(box, "B.MAI");
       }},
      {"ReleaseOfAMessageWithoutItsRecordNeedsItsConnector", kBoth, "no-record A", {"release", "{A}", "{B}"}, 3, "released {B} to \nname it with --connector",
       [](QuarantineBox& box, const RunResult&) {
         EXPECT_FALSE(Exists(box.messages + "/A.MAI"));
         EXPECT_EQ(box.Quarantine({"release", "--connector", box.connector, "{A}"}).status, 0);
         EXPECT_EQ(ReadFile(box.messages + "/" + box.Id("A.MAI") + ".MAI"), kSpam);
       }},
      // Nothing read from the quarantine folder leads out of the queue: a record's names are single names.
      {"ReleaseRefusesARecordWhoseNameClimbsOutOfTheQueue", kBoth, "record A message=..\\..\\..\\..\\outside\\evil.txt", {"release", "{A}"}, 3,
       "is no single file name: its record has been altered", ExpectNothingReleased},
      {"ReleaseRefusesARecordWithASlashInItsName", kBoth, "record A message=../../../../outside/evil.txt", {"release", "{A}"}, 3,
       "is no single file name", ExpectNothingReleased},
      {"ReleaseRefusesARecordNamingADevice", kBoth, "record A message=NUL.txt", {"release", "{A}"}, 3, "\"NUL.txt\" is no single file name",
       ExpectNothingReleased},
      {"ReleaseRefusesAConnectorWithoutAQueue", kBoth, "record A connector=OTHER", {"release", "{A}"}, 3, "The connector OTHER has no queue folder",
       ExpectNothingReleased},
      {"ReleaseRefusesAConnectorOptionThatIsAPath", kLinux, "", {"release", "--connector", "../Conn", "{A}"}, 2, "--connector takes a connector's name",
       ExpectNothingReleased},
      {"DeviceNamesAreNoIds", kBoth, "", {"delete", "NUL", "AUX", "COM1", "{A}"}, 2, "deleted {A}\nNUL is no quarantine id\nAUX is no\nCOM1 is no", nullptr},
      {"ALowerCaseIdIsFound", kBoth, "", {"show", "{a}"}, 0, "Message {A}: ", nullptr},
      // A release is done once both files are in the queue: a copy that cannot go is named, never released again.
      {"ReleaseWithAReadOnlyCopyIsDoneAndNotRepeated", kBoth, "read-only A", {"release", "{A}"}, 0,
       "released {A} to \nleft in the quarantine (saquarantine delete or purge removes it): ",
       [](QuarantineBox& box, const RunResult&) {
         EXPECT_EQ(ReadFile(box.inbound + "/A.MAI"), "pickup of A.MAI\r\n");
         EXPECT_NE(std::filesystem::status(box.inbound + "/A.MAI").permissions() & std::filesystem::perms::owner_write, std::filesystem::perms::none);
         EXPECT_TRUE(Has(box.Events().back(), "Released the quarantined message ")) << box.Events().back();
         EXPECT_EQ(ParseCsvLine(box.ScanLogLines().back())[kLogOutcome], "released");
         // The server delivers it; a second release answers, and puts nothing in.
         std::filesystem::remove(box.inbound + "/A.MAI");
         std::filesystem::remove(box.messages + "/A.MAI");
         const RunResult again = box.Quarantine({"release", "{A}"});
         EXPECT_EQ(again.status, 0) << again.standard_error;
         EXPECT_TRUE(Has(again.output, " by ") && Has(again.output, ": it is not put into the queue again")) << again.output;
         EXPECT_TRUE(FilesIn(box.messages).empty() && FilesIn(box.inbound).empty());
         EXPECT_TRUE(Has(box.Quarantine({"list"}).output, "[released ")) << box.Quarantine({"list"}).output;
         std::filesystem::permissions(box.quarantine + "/" + box.Id("A.MAI") + ".MAI", std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
         EXPECT_EQ(box.Quarantine({"delete", "{A}"}).status, 0);
         for (const std::string& file : FilesOf(box, "A.MAI")) EXPECT_FALSE(Exists(file)) << file;
       }},
      // The audit trail names the process's own account, whatever the environment says (the Linux build's, run as
      // another account, in race_test.cpp). Wine makes its token's user name from the Unix environment; Windows from the logon.
      {"ReleaseNamesTheAccountFromTheSystem", kWine, "env USERNAME=ceo env USERDOMAIN=CORP env USER=ceo env LOGNAME=ceo", {"release", "{A}"}, 0,
       "released {A}", [](QuarantineBox& box, const RunResult&) {
         const std::string entry = box.Events().back();
         EXPECT_TRUE(Has(entry, ", by ") && Has(entry.substr(entry.find(", by ")), "\\")) << entry;
       }},
      // Entries that killed runs left (the unit suite and the kill table hold what a release makes of each).
      {"AnEntryItsRunLeftHalfMadeIsListedSo", kBoth, "half-made A", {"list"}, 0, "{A}\n[being quarantined, or its run stopped half-way]", nullptr},
      // The message file such a run left blocks its name: list and sacheck name it, delete removes it with the entry.
      {"DeleteOfAnEntryItsRunLeftBetweenItsDeletionsRemovesItsQueueFile", kBoth, "half-made-between A", {"list"}, 0,
       "its message file is left in the queue as ", [](QuarantineBox& box, const RunResult&) {
         EXPECT_TRUE(Has(box.Run({}, "sacheck").output, "1 whose message file is left in the queue without its pickup file"));
         EXPECT_EQ(box.Quarantine({"delete", "{A}"}).status, 0);
         EXPECT_TRUE(FilesIn(box.messages).empty());
       }},
      // Links in the quarantine lead nowhere: a message that is a link is refused, a linked folder of marks is never written or purged.
      {"ALinkInTheQuarantineIsNeverFollowed", kLinux, "link-message A", {"release", "{A}"}, 3, "is a link: the quarantine's files must be its own",
       [](QuarantineBox& box, const RunResult&) { EXPECT_TRUE(FilesIn(box.messages).empty() && FilesIn(box.inbound).empty()); }},
      {"ALinkedFolderOfMarksIsNeitherPurgedNorWritten", kLinux, "linked-marks", {"purge"}, 0, "and 0 expired release marks",
       [](QuarantineBox& box, const RunResult&) {
         const RunResult release = box.Quarantine({"release", "{A}"});
         EXPECT_EQ(release.status, 3);
         EXPECT_TRUE(Has(release.standard_error, "is a link: the quarantine's marks must be its own")) << release.standard_error;
         EXPECT_EQ(FilesIn(box.folder / "outside"), (std::set<std::string>{"A.MAI", "old.txt"}));
         EXPECT_EQ(ReadFile(box.folder / "outside/A.MAI"), "precious");
         EXPECT_TRUE(FilesIn(box.messages).empty());
       }},
      // A formula in the score reaches no spreadsheet.
      {"AScoreThatIsAFormulaIsGuarded", kBoth, "score A", {"list", "--csv"}, 0, "'-2+HYPERLINK(",
       [](QuarantineBox& box, const RunResult&) {
         EXPECT_EQ(box.Quarantine({"release", "{A}"}).status, 0);
         EXPECT_EQ(ParseCsvLine(box.ScanLogLines().back())[kLogScore], "'-2+HYPERLINK(\"http://x\")");
       }},
      {"DeleteRemovesEveryFileAPartMissingOrNot", kBoth, "no-output A", {"delete", "{A}", "{B}"}, 0, "deleted {A}\ndeleted {B}",
       [](QuarantineBox& box, const RunResult&) {
         EXPECT_EQ(FilesLeft(box), 4);
         ExpectQuarantined(box, "C.MAI");
       }},
      {"PurgeDryRunRemovesNothing", kBoth, "", {"purge", "--days", "1", "--dry-run"}, 0, "would delete {B}\nwould delete {A}\nwould purge 2 messages",
       [](QuarantineBox& box, const RunResult&) { EXPECT_EQ(FilesLeft(box), 12); }},
      {"PurgeByQuarantineDaysWithAPartMissing", kBoth, "keep-1-day no-pickup A", {"purge"}, 0, "deleted {B}\ndeleted {A}",
       [](QuarantineBox& box, const RunResult&) {
         EXPECT_EQ(FilesLeft(box), 4);
         ExpectQuarantined(box, "C.MAI");
       }},
      {"PurgeRemovesOnlyTheQuarantinesOwnFilesAndExpiredMarks", kBoth, "keep-1-day strays old-mark", {"purge"}, 0,
       "deleted {B}\ndeleted {A}\nremoved the expired release mark \npurged 2 messages, ",
       [](QuarantineBox& box, const RunResult& run) {
         EXPECT_EQ(FilesIn(box.quarantine), (std::set<std::string>{box.Id("C.MAI") + ".MAI", "README.mai"}));
         EXPECT_TRUE(Exists(box.quarantine + "/Messages/old-report.inf"));
         EXPECT_TRUE(Has(run.standard_error, "and 1 expired release mark")) << run.standard_error;
         EXPECT_TRUE(FilesIn(box.quarantine + "/Released/" + box.connector).empty());
       }},
      {"PurgeWithoutAnAgeKeepsEveryMessageAndRemovesWhatKilledProgramsLeftAWeekAgo", kLinux, "killed-run", {"purge"}, 0,
       "removed what a killed program left: \nno message is purged\nremoved 3 files that killed programs left, a week old or more",
       [](QuarantineBox& box, const RunResult&) {
         EXPECT_EQ(FilesLeft(box), 12);
         EXPECT_EQ(ReadFile(box.messages + "/K.MAI"), kHam);
         EXPECT_EQ(FilesIn(box.messages), (std::set<std::string>{"K.MAI", "M." + box.Id("K.MAI") + ".tmp"}));
         EXPECT_EQ(FilesIn(box.temp), std::set<std::string>{std::string(32, 'F') + ".OUT"});
       }},
      {"AnIdNotInTheQuarantineIsReportedAndTheOthersDone", kBoth, "", {"delete", "NOSUCHID", "{A}", "00000000000000000000000000000000"}, 2,
       "deleted {A}\nNOSUCHID is no quarantine id\nNo quarantined message 00000000000000000000000000000000", nullptr},
      {"CheckReportsTheQuarantineAndAPurgeThatIsNotRunning", kBoth, "keep-1-day no-output A", {"sacheck"}, 0,
       "OK       QUARANTINEDAYS         \"1\" -> 1 days, then saquarantine purge removes a message\n"
       "WARNING  quarantine             3 messages, 0.0 MB, the oldest 3 days old, 1 with parts missing (saquarantine list shows which): "
       "2 older than QUARANTINEDAYS (1): purge is not running", nullptr},
      {"CheckCountsWhatKilledProgramsLeft", kLinux, "killed-run", {"sacheck"}, 0,
       "WARNING  leftovers              3 files that killed programs left, a week old or more (2 in TEMPPATH, 1 in the queue of connector Conn): "
       "saquarantine purge removes them", nullptr},
      {"AnIdThatIsAPathIsNoId", kLinux, "", {"delete", "../x"}, 2, "", nullptr},
      {"AnUnknownVerbIsAUsageError", kLinux, "", {"frobnicate"}, 2, "", nullptr},
      {"AnOptionWithoutItsValueIsAUsageError", kLinux, "", {"list", "--older-than", "1", "--from"}, 2, "--from: 1 required TEXT missing", nullptr},
      {"AVerbHasItsOwnHelp", kBoth, "", {"release", "--help"}, 0, "Usage: saquarantine release [OPTIONS] ID...\n  --learn ", nullptr},
      {"LearningWithNothingToLearnWithFails", kLinux, "", {"learn", "spam", "{A}"}, 5, "set SPAMDHOSTS", nullptr},
      {"LearnThroughTheLearningProgram", kLinux, "sa-learn", {"learn", "spam", "{A}", "{B}"}, 0, "{A}: spam: learned by \n{B}: spam: learned by ",
       [](QuarantineBox& box, const RunResult&) {
         EXPECT_EQ(BayesCounts(box), "2 spam, 0 ham");
         EXPECT_TRUE(FilesIn(box.temp).empty());
       }},
  };
  std::vector<QuarantineCase> rows;
  for (const QuarantineCase& row : table) if (row.builds & build) rows.push_back(row);
  return rows;
}

void RunQuarantineCase(const Build& build, const QuarantineCase& c) {
  QuarantineBox box(build);
  std::istringstream before(c.before);
  for (std::string word; before >> word;) {
    if (word == "keep-1-day") {
      box.Configure("QUARANTINEDAYS=1");
    } else if (word == "env") {
      std::string pair;
      before >> pair;
      box.environment[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
    } else if (word == "strays") {
      WriteFile(box.quarantine + "/README.mai", "not the quarantine's");
      WriteFile(box.quarantine + "/Messages/old-report.inf", "not the quarantine's");
      for (const std::string& file : {box.quarantine + "/README.mai", box.quarantine + "/Messages/old-report.inf"}) {
        std::filesystem::last_write_time(file, std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 30));
      }
    } else if (word == "old-mark") {
      std::filesystem::create_directories(box.quarantine + "/Released/" + box.connector);
      WriteFile(box.quarantine + "/Released/" + box.connector + "/X.MAI", "id=0\r\nsize=1\r\nsha256=0\r\n");
      std::filesystem::last_write_time(box.quarantine + "/Released/" + box.connector + "/X.MAI",
                                       std::filesystem::file_time_type::clock::now() - std::chrono::hours(25));
    } else if (word == "linked-marks") {
      std::filesystem::create_directories(box.folder / "outside");
      for (const char* file : {"old.txt", "A.MAI"}) WriteFile(box.folder / "outside/" + file, "precious");
      std::filesystem::last_write_time(box.folder / "outside/old.txt", std::filesystem::file_time_type::clock::now() - std::chrono::hours(48));
      std::filesystem::create_directories(box.quarantine + "/Released");
      std::filesystem::create_directory_symlink(box.folder / "outside", box.quarantine + "/Released/" + box.connector);
    } else if (word == "killed-run") {
      // A clean message's run killed as it moves the tagged copy over the
      // message, TEMPPATH on another volume: it leaves the copy beside the
      // message, its batch file and its output; beside them a queued message
      // with a name like the copy's. All eight days old, but for the output of
      // a run still going. (Which names the other programs leave is the unit
      // suite's table.)
      box.MoveTempElsewhere();
      box.Configure();
      box.Queue("K.MAI", kHam);
      box.tracer = KillAt("rename", 1);
      EXPECT_EQ(box.Run({"K.MAI", box.connector}).status, 128 + SIGKILL);
      box.tracer.clear();
      const std::string run = box.ids["K.MAI"] = RunFilesIn(box.temp).empty() ? "" : RunFilesIn(box.temp).begin()->substr(0, 32);
      box.Queue("M." + run + ".tmp", kHam);
      for (const auto& folder : {box.temp, box.messages, box.inbound}) {
        for (const std::string& file : FilesIn(folder)) {
          std::filesystem::last_write_time(folder + "/" + file, std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 8));
        }
      }
      WriteFile(box.temp + "/" + std::string(32, 'F') + ".OUT", "");
    } else if (word == "sa-learn") {
      std::filesystem::create_directories(box.folder / "bayes");
      WriteFile(box.folder / "sa-learn.sh", "#!/bin/sh\nexec /usr/bin/sa-learn --dbpath \"$BOX/bayes/bayes\" \"$@\"\n");
      chmod((box.folder / "sa-learn.sh").c_str(), 0755);
      box.Configure("SALEARNEXE={box}/sa-learn.sh");
    } else {
      std::string name;
      before >> name;
      const auto files = FilesOf(box, name + ".MAI");
      if (word == "no-pickup") std::filesystem::remove(files[0]);
      if (word == "no-output") std::filesystem::remove(files[2]);
      if (word == "link-message") {
        WriteFile(box.folder / "secret.txt", "secret\r\n");
        std::filesystem::remove(files[1]);
        std::filesystem::create_symlink(box.folder / "secret.txt", files[1]);
      }
      if (word == "read-only") std::filesystem::permissions(files[0], std::filesystem::perms::all, std::filesystem::perm_options::remove);
      if (word == "record") {
        std::string change;
        before >> change;
        const std::string key = change.substr(0, change.find('=') + 1), record = ReadFile(files[3]);
        const std::size_t at = record.find(key), end = record.find("\r\n", at);
        WriteFile(files[3], record.substr(0, at) + change + record.substr(end));
      }
      if (word.compare(0, 9, "half-made") == 0) {
        // As a run killed half-way leaves it: before it removed the queue
        // files ("half-made"), or between its two deletions ("-between").
        std::string sizes;
        for (int part = 0; part < 3; ++part) sizes += (part ? "," : "") + std::to_string(std::filesystem::file_size(files[part]));
        WriteFile(files[3], ReadFile(files[3]) + "state=quarantining\r\nsizes=" + sizes + "\r\n");
        WriteFile(box.messages + "/" + name + ".MAI", box.originals.at(name + ".MAI"));
        if (word == "half-made") WriteFile(box.inbound + "/" + name + ".MAI", "pickup of " + name + ".MAI\r\n");
      }
      if (word == "score") {
        const std::string output = ReadFile(files[2]);
        const std::size_t at = output.find("score=1000.0");
        WriteFile(files[2], output.substr(0, at) + "score=-2+HYPERLINK(\"http://x\")" + output.substr(at + 12));
      }
      if (word == "no-record") std::filesystem::remove(files[3]);
    }
  }
  const RunResult run = c.words[0] == "sacheck" ? box.Run({}, "sacheck") : box.Quarantine(c.words);
  EXPECT_EQ(run.status, c.status) << run.standard_error << run.output;
  ExpectLines(run.output + run.standard_error, c.lines, box.marks);
  if (c.after) c.after(box, run);
}

}  // namespace saplugin
