#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "e2e/e2e.h"
#include "store/scan_log.h"

namespace saplugin {

namespace {

using O = Outcome;

const std::string kNoEmail = "SpamAssassin didn't return an email. Configuration problem.";
const std::string kTrap = "Could not process pickup event for Connector: ";
const std::string kOff = "Turning off quarantining for SpamAssassin because no path set in config file";
const std::string kBadSetting = "Can't run SpamAssassin because of a setting in the plugin config file: ";
const std::string kOverTime = "SpamAssassin did not finish within 1 second; the message was left unscanned.";
const std::string kRunFilter = "; exec \"$SAFILTER\" \"$@\"";
std::string Failed(int status, const std::string& outcome) {
  return "SpamAssassin failed with exit status " + std::to_string(status) + "; the message " + outcome + ".";
}

std::string Sized(std::string message, std::size_t size) { return message.append(size - message.size(), 'z'); }

std::vector<Scenario> Table() {
  const std::string gtube = kSpam.substr(kSpam.find("XJS"));  // the test string and a line break
  const std::string big = Sized(kSpam + "\r\n", 200000), garbage("\x00\xff\xfe[SPAM\x01\n=\x80\r\n\r\r", 16);
  std::string lines = kHam;  // 527 KB of text lines
  while (lines.size() < 527000) lines += "The quick brown fox jumps over the lazy dog.\r\n";
  // Cut in the body, after a whole header section.
  const std::string cut_ham = "cut " + std::to_string(FilterOutput(kHam).size() - 9) + "\n";
  const std::string cut_spam = "cut " + std::to_string(FilterOutput(kSpam).size() - 9) + "\n";
  std::string pool;  // 32 KB of hosts, the last no host
  while (pool.size() < 32600) pool += "127.0.0.1:783,";
  pool += "127.0.0.1:99999";
  return {
      // The verdict's actions.
      {"FlaggedQuarantine1IsQuarantined", kBoth, "", kSpam, "", "", O::kQuarantined, "quarantined", 0, ""},
      {"CleanIsTagged", kBoth, "", kHam, "", "", O::kTagged, "tagged", 0, ""},
      // A filter that fails without crashing: its output never takes the message's place, its verdict still counts.
      {"FailedFilterCutCleanOutputLeavesTheMessage", kBoth, "", kHam, cut_ham + "exit 28\n", "", O::kLeft, "filter-failed", 3, Failed(28, "was left unscanned")},
      {"FullTempPathWithTheRealFilterLeavesTheMessage", kLinux, "", lines, "", "real-filter small-temp", O::kLeft, "filter-failed", 3, Failed(28, "was left unscanned")},
      {"FilterWithinTheTimeLimitIsWaitedFor", kBoth, "QUARANTINE=2 SCANTIMELIMIT=5", kSpam, "delay 1\n", "", O::kDeleted, "deleted", 0, ""},
      {"FilterOverTheTimeLimitIsEnded", kBoth, "SCANTIMELIMIT=1", kSpam, "delay 30\n", "", O::kLeft, "time-limit", 4, kOverTime},
      {"TimeLimitOfZeroIsNoLimit", kLinux, "QUARANTINE=2 SCANTIMELIMIT=0", kSpam, "delay 1\n", "", O::kDeleted, "deleted", 0, ""},
      {"StandardErrorNeverReachesTheOutput", kBoth, "", kHam, "stderr deprecated option\n", "", O::kTagged, "tagged", 0, ""},
      {"CutOutputIsQuarantinedAsItCame", kLinux, "", kSpam, "cut 100\n", "", O::kQuarantined, "quarantined", 0, ""},
      {"MessageOneByteOverABlockIsTaggedWhole", kLinux, "", Sized(kHam, 65537), "", "", O::kTagged, "tagged", 0, ""},
      {"GtubeAcrossTwoReadsIsFlagged", kLinux, "QUARANTINE=2", Sized("Subject: x\r\n\r\n", 65536 + 3 - gtube.size()) + gtube, "", "", O::kDeleted, "deleted", 0, ""},
      {"FilterWithNoFreeDescriptorsSpoolsInMemory", kLinux, "", big, "", "sh:ulimit -n 3" + kRunFilter, O::kQuarantined, "quarantined", 0, ""},
      // Filters and interpreters that give no message.
      {"OutputCutAtItsFirstByteLeavesTheMessage", kLinux, "", kHam, "cut 0\n", "", O::kLeft, "no-message", 3, kNoEmail},
      {"EmptyOutputLeavesTheMessage", kBoth, "QUARANTINE=2", kSpam, "no-output\nexit 1\n", "", O::kLeft, "no-message", 3, kNoEmail},
      {"MissingFilterLeavesTheMessage", kBoth, "SPAMASSASSINEXE=C:\\no\\filter.exe", kHam, "", "", O::kLeft, "no-message", 3, kNoEmail},
      {"CrashedFilterLeavesTheMessage", kBoth, "QUARANTINE=0", big, "abort-after 20000\n", "", O::kLeft, "no-message", 3, kNoEmail},
      {"CrashAfterTheWholeOutputLeavesTheMessage", kLinux, "",  kHam, "abort-after " + std::to_string(FilterOutput(kHam).size()) + "\n", "", O::kLeft, "no-message", 3, kNoEmail},
      {"FilterKilledAfterItsOutputLeavesTheMessage", kLinux, "", kHam, "", "sh:\"$SAFILTER\" \"$@\"; kill -HUP $$", O::kLeft, "no-message", 3, kNoEmail},
      {"FilterCutByAFileSizeLimitLeavesTheMessage", kLinux, "QUARANTINE=0", big, "", "sh:ulimit -f 8" + kRunFilter, O::kLeft, "no-message", 3, kNoEmail},
      // The shipped .cmd adapter hands spamc (safilter.exe here) no "-c RULES", which would silence it,
      // and fails over to the pool's second host.
      {"SpamcAdapterDropsTheFilterArgumentsAndFailsOver", kWine, "", kHam, "no-output\n", "spamc-cmd", O::kTagged, "tagged", 0, ""},
      {"SpamcAdapterWithThePoolDownLeavesTheMessage", kWine, "", kHam, "", "spamc-cmd down", O::kLeft, "no-message", 3, kNoEmail},
      // The shipped spamc adapter, with every daemon of its pool down (nothing listens on port 9).
      {"SpamdPoolThatIsDownLeavesTheMessage", kLinux, "", kSpam, "", "sh:exec sh -c \"$(sed 's/PORT=783/PORT=9/; "
       "s/HOSTS=127.0.0.1/HOSTS=127.0.0.2,127.0.0.1/' '" SAPLUGIN_SOURCE_DIR "/dist/spamc-filter.sh')\"", O::kLeft, "no-message", 3, kNoEmail},
      // SPAMDHOSTS with every host down (nothing listens on port 9), and one that is no host.
      {"SpamdHostsAllDownLeaveTheMessage", kBoth, "SPAMDHOSTS=127.0.0.1:9,127.0.0.2:9 SPAMASSASSINEXE=-", kSpam, "", "", O::kLeft, "no-message", 3,
       "No spamd host scanned the message, which was left unscanned: Could not connect to 127.0.0."},
      // Its entry, longer than ReportEvent takes, is cut (the events column holds it whole).
      {"SpamdHostsOf32KThatDoNotParseStopTheRunWithAnEntryCut", kBoth, "SPAMDHOSTS=" + pool, kSpam, "", "long-entry", O::kLeft, "-", 2,
       kBadSetting + "Type mismatch: SPAMDHOSTS \"" + pool + "\": host entry " + std::to_string(std::count(pool.begin(), pool.end(), ',') + 1) +
           " \"127.0.0.1:99999\" is no host or host:port: its port 99999 is outside 1 to 65535"},
      // The interpreter's path: with a blank, unquoted (every row's), quoted, or naming nothing.
      {"InterpreterInQuotesIsFound", kLinux, "", kSpam, "", "comspec-quoted", O::kQuarantined, "quarantined", 0, ""},
      {"MissingInterpreterEndsInTheTrap", kLinux, "", kSpam, "", "comspec-missing", O::kLeft, "trap", 1, kTrap},
      {"InterpreterThatWritesNothingLeavesTheMessage", kLinux, "", kSpam, "", "comspec-true", O::kLeft, "no-message", 3, kNoEmail},
      // Queue files, folders and volumes.
      {"ReadOnlyMessageIsNotReplaced", kBoth, "QUARANTINE=0", kHam, "", "ro-message", O::kLeft, "trap", 1, kTrap},
      {"ReadOnlyMessageIsQuarantinedButKept", kBoth, "", kSpam, "", "ro-message", O::kPickupGone, "trap", 1, kTrap},
      {"ReadOnlyMessageIsNotDeleted", kBoth, "QUARANTINE=2", kSpam, "", "ro-message", O::kPickupGone, "trap", 1, kTrap},
      {"ReadOnlyPickupKeepsAQuarantinedMessage", kBoth, "", kSpam, "", "ro-pickup", O::kLeft, "trap", 1, kTrap},
      {"ReadOnlyPickupKeepsADeletedMessage", kBoth, "QUARANTINE=2", kSpam, "", "ro-pickup", O::kLeft, "trap", 1, kTrap},
      {"ReadOnlyPickupPlaysNoPartInTagging", kBoth, "QUARANTINE=0", kSpam, "", "ro-pickup", O::kTagged, "tagged", 0, ""},
      {"MissingTempPathEndsInTheTrap", kBoth, "TEMPPATH=C:\\no\\temp", kSpam, "", "", O::kLeft, "trap", 1, kTrap},
      {"UnwritableTempPathEndsInTheTrap", kLinux, "TEMPPATH=/proc", kSpam, "", "", O::kLeft, "trap", 1, kTrap},
      {"TempPathOnAnotherVolumeTags", kBoth, "QUARANTINE=0", big, "", "temp-elsewhere", O::kTagged, "tagged", 0, ""},
      {"TempPathOnAnotherVolumeQuarantines", kBoth, "", big, "", "temp-elsewhere", O::kQuarantined, "quarantined", 0, ""},
      {"FullQuarantineKeepsTheQueueFiles", kLinux, "", big, "", "small-quarantine", O::kLeft, "trap", 1, kTrap},
      {"FullQueueVolumeKeepsTheMessageWhole", kLinux, "QUARANTINE=0", big, "", "small-queue", O::kLeft, "trap", 1, kTrap},
      // Each copy is on disk before it counts: traced by strace, or by Wine's relay channel.
      {"TaggedCopyIsOnDiskBeforeItTakesThePlace", kBoth, "", kHam, "", "trace", O::kTagged, "tagged", 0, ""},
      {"QuarantineCopiesAreOnDiskBeforeTheQueueFilesGo", kBoth, "", kSpam, "", "trace", O::kQuarantined, "quarantined", 0, ""},
      // Paths in the batch line: the run's own as written, "%" and all; the filter's through the interpreter's variables.
      {"TempPathWithPercentSignsIsUsedAsWritten", kBoth, "", kHam, "", "percent-temp", O::kTagged, "tagged", 0, ""},
      {"RulesPathEndingWithASeparatorReachesTheFilterAsWritten", kBoth, "", kHam, "", "arguments", O::kTagged, "tagged", 0, ""},
      {"FilterNamedThroughAVariableRuns", kBoth, "QUARANTINE=2", kSpam, "", "filter-variable", O::kDeleted, "deleted", 0, ""},
      {"CheckOfAFilterNamedThroughAVariable", kBoth, "", kSpam, "", "sacheck filter-variable", O::kLeft, "-", 0,
       "OK       SPAMASSASSINEXE        \"%SAFILTER_HOME%\\safilter"},
      {"ReplacedMessageKeepsItsOwnerAndMode", kLinux, "QUARANTINE=0", kSpam, "", "private-message", O::kTagged, "tagged", 0, ""},
      {"MessageReplacedAcrossVolumesKeepsItsOwnerAndMode", kLinux, "", kHam, "", "private-message temp-elsewhere", O::kTagged, "tagged", 0, ""},
      {"QuarantineMessagesFolderRemovedMidRun", kLinux, "", kSpam, "", "sh:rm -r \"$BOX/quarantine/Messages\"" + kRunFilter, O::kLeft, "trap", 1, kTrap},
      {"QuarantineFolderRemovedMidRun", kLinux, "", kSpam, "", "sh:rm -r \"$BOX/quarantine\"" + kRunFilter, O::kLeft, "trap", 1, kTrap},
      // sacheck: the events column holds lines of its report; it touches no queue and logs nothing.
      {"CheckOfAHealthySetUp", kBoth, "", kSpam, "", "sacheck", O::kLeft, "-", 0,
       "OK       configuration \n (REG_SZ)\nOK       trial scan, GTUBE      flagged\nOK       trial scan, clean      clean\n, 0 FAIL\n"
       "OK       KEEPORIGINAL           \"\" -> clean messages are tagged\nOK       SCANLOGPATH "},
      {"CheckOfALogFolderThatCannotBeWritten", kLinux, "SCANLOGPATH=/proc", kSpam, "", "sacheck", O::kLeft, "-", 0,
       "WARNING  SCANLOGPATH            \"/proc\" -> /proc\\: cannot be written: "},
      {"CheckOfTodaysScanLog", kBoth, "", kSpam, "", "sacheck logged", O::kLeft, "-", 0,
       "WARNING  scan log today         \n.csv (2 files): 9 messages, 3 spam, 4 failures, slowest filter 3.50 s"},
      {"CheckOfAnUnreadableScanLog", kLinux, "", kSpam, "", "sacheck logged unreadable", O::kLeft, "-", 1,
       "FAIL     scan log today         \nPermission denied: the log cannot be read\nOK       trial scan, GTUBE      flagged\n, 1 FAIL\n"},
      {"CheckWithAMissingInterpreterLeavesNothingInTempPath", kLinux, "", kSpam, "", "sacheck comspec-missing", O::kLeft, "-", 1,
       "FAIL     trial scan, GTUBE      the filter could not be run: "},
      {"CheckOfAnUnregisteredEventSource", kWine, "", kSpam, "", "sacheck", O::kLeft, "-", 0, "WARNING  event source           saplugin is not registered: "},
      {"CheckOfARegisteredEventSource", kWine, "", kSpam, "", "sacheck event-source", O::kLeft, "-", 0, "OK       event source           saplugin: its texts come from "},
      {"CheckHelp", kLinux, "", kSpam, "", "sacheck help", O::kLeft, "-", 0, "Usage: sacheck [OPTIONS]"},
      {"CheckWithoutADataDirectory", kLinux, "", kSpam, "", "sacheck no-registry", O::kLeft, "-", 1, "FAIL     data directory         "},
      {"CheckOfAnUnwritableTempPath", kLinux, "TEMPPATH=/proc", kSpam, "", "sacheck", O::kLeft, "-", 1, "trial scan, GTUBE      the filter could not be run"},
      {"CheckOfAFilterThatNeverFlags", kBoth, "", kSpam, "no-scan\n", "sacheck", O::kLeft, "-", 1, "GTUBE      came back clean, not flagged"},
      {"CheckOfAFilterThatFails", kLinux, "", kSpam, "exit 28\n", "sacheck", O::kLeft, "-", 1, "trial scan, GTUBE      the filter failed with exit status 28"},
      {"CheckOfQueuesThatCannotBeWritten", kBoth, "", kSpam, "", "sacheck not-queued no-messages", O::kDeleted, "-", 1,
       "FAIL     connector {connector}\nInbound or Inbound\\Messages names no folder"},
      // The scan log: a field with commas, quotes and UTF-8 comes back whole; a log that cannot be written changes nothing.
      {"SenderAndSubjectAreLoggedWhole", kBoth, "", "From: \"Doe, Jane\" <j@example.com>\r\nSubject: Re: \"50%, or more\" \xE2\x80\x94 caf\xC3\xA9\r\n\tfolded"
       "\r\n\r\nbody\r\n", "", "", O::kTagged, "tagged", 0, ""},
      {"ScanLogThatCannotBeWrittenChangesNothing", kBoth, "SCANLOGPATH={box}/no/log", kSpam, "", "", O::kQuarantined, "-", 0,
       "Could not write the scan log in "},
      // Start-up and gates.
      // Folders that cannot work stop every run before it touches the message; sacheck says why, and writes nothing in a queue.
      {"TempPathThatIsTheQuarantineFolderStopsTheRun", kBoth, "TEMPPATH={box}/temp/../quarantine/", kSpam, "", "", O::kLeft, "-", 2, kBadSetting + "TEMPPATH \""},
      {"TempPathThatIsTheQuarantineInAnotherCaseStopsTheRun", kWine, "TEMPPATH={box}/QUARANTINE", kSpam, "", "", O::kLeft, "-", 2, kBadSetting + "TEMPPATH \""},
      {"TempPathThatIsAQueueFolderByAnotherNameStopsTheRun", kLinux, "", kSpam, "", "temp-bound-to-queue", O::kLeft, "-", 2, kBadSetting + "TEMPPATH \""},
      {"TempPathWithASetVariableStopsTheRun", kBoth, "TEMPPATH={box}/%SAFILTER_HOME%", kSpam, "", "filter-variable", O::kLeft, "-", 2,
       kBadSetting + "TEMPPATH \""},
      {"CheckOfAQuarantinePathInTheQueue", kBoth, "QUARANTINEPATH={inbound}", kSpam, "", "sacheck trace", O::kLeft, "-", 1,
       "FAIL     QUARANTINEPATH         \"\n\" lies in the mail server's queue folder "},
      {"CheckOfATempPathInTheQueue", kBoth, "TEMPPATH={inbound}/Messages", kSpam, "", "sacheck trace", O::kLeft, "-", 1,
       "FAIL     TEMPPATH               \"\n\" lies in the mail server's queue folder \nFAIL     trial scan             not run: TEMPPATH cannot work"},
      // The programs' own words, for an operator at a prompt: the mail server never gives them.
      {"VersionIsPrintedAndNothingDone", kBoth, "", kSpam, "", "version", O::kLeft, "-", 0, "saplugin version "},
      {"HelpIsPrintedAndNothingDone", kBoth, "", kSpam, "", "help", O::kLeft, "-", 0, "Usage: saplugin MESSAGEFILE CONNECTOR\n  --version"},
      {"NoConfigurationFileTouchesNothing", kBoth, "", kSpam, "", "no-config", O::kLeft, "-", 0, "Can't run SpamAssassin because no plugin config file at path: {bin}"},
      {"ConfigurationOfGarbageRunsWithNothingSet", kLinux, "=" + garbage, kHam, "", "", O::kLeft, "-", 2, kOff + "\n" + kBadSetting + "TEMPPATH is not set"},
      {"OneWordCommandLineEndsInTheTrap", kBoth, "", kSpam, "", "one-word", O::kLeft, "trap", 1, kTrap},
      {"MissingMessageIsLeftSilently", kBoth, "", kSpam, "", "not-queued", O::kDeleted, "missing", 0, ""},
      {"RegistryFileOfGarbageEndsInTheTrap", kLinux, "", kSpam, "", "bad-registry", O::kLeft, "trap", 1, kTrap},
      {"RegistryFileUnsetFindsNoQueue", kLinux, "", kSpam, "", "no-registry", O::kLeft, "missing", 0, ""},
  };
}


// The flushes, moves and deletions of the sandbox's files, in their order, as
// strace (-y) or Wine's relay channel traced them: "flush F", "move F over G",
// "delete F", where a folder ends with "/", the queue reads queue/ and a run
// name RUN.
std::vector<std::string> FileTrace(const Sandbox& box, const std::string& trace) {
  const auto name = [&](std::string path) {
    if (box.build.wine) path = std::regex_replace(path.substr(path.find(':') + 1), std::regex("\\\\\\\\"), "/");
    if (std::filesystem::is_directory(path)) path += "/";
    for (const auto& [prefix, label] : {std::pair{box.inbound + "/", "queue/"}, {box.folder.path + "/", ""}}) {
      if (path.rfind(prefix, 0) == 0) path = label + path.substr(prefix.size());
    }
    return std::regex_replace(path, std::regex("[0-9A-F]{32}"), "RUN");
  };
  // strace: fsync(3</path>), rename("a", "b"), unlink("a"); Wine: a call (its thread, Call or Ret, the function, a
  // first string or handle argument, a second string, the value returned).
  static const std::regex linux_call("^[0-9]+ +(fsync|rename|unlink)[a-z]*\\((?:AT_FDCWD, )?(?:[0-9]+<([^>]*)>|\"([^\"]*)\")(?:, (?:AT_FDCWD, )?\"([^\"]*)\")?");
  static const std::regex wine_call("^([0-9a-f]+):(Call|Ret ) KERNEL32\\.(CreateFileA|FlushFileBuffers|ReplaceFileA|MoveFileExA|DeleteFileA)"
                                    "\\((?:[0-9a-f]+ \"([^\"]*)\"|([0-9a-f]+))?(?:,[0-9a-f]+ \"([^\"]*)\")?[^ ]* (?:retval=([0-9a-f]+))?");
  std::vector<std::string> events;
  std::map<std::string, std::string> paths;  // by thread, the file being opened; by thread and handle, the file opened
  std::istringstream lines(trace);
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (!box.build.wine && std::regex_search(line, m, linux_call)) {
      const std::string first = name(m[2].matched ? m[2].str() : m[3].str()), call = m[1];
      events.push_back(call == "fsync" ? "flush " + first : call == "unlink" ? "delete " + first : "move " + first + " over " + name(m[4]));
    } else if (box.build.wine && std::regex_search(line, m, wine_call)) {
      const std::string thread = m[1], call = m[3];
      if (call == "CreateFileA") paths[m[2] == "Call" ? thread : thread + m[7].str()] = m[2] == "Call" ? m[4].str() : paths[thread];
      if (call == "CreateFileA" || m[2] != "Call") continue;
      events.push_back(call == "FlushFileBuffers" ? "flush " + name(paths[thread + m[5].str()]) : call == "DeleteFileA" ? "delete " + name(m[4])
                       : call == "MoveFileExA" ? "move " + name(m[4]) + " over " + name(m[6]) : "move " + name(m[6]) + " over " + name(m[4]));
    }
  }
  // Only the queue's, the quarantine's and TEMPPATH's files: what the filter and the interpreter do elsewhere is theirs.
  events.erase(std::remove_if(events.begin(), events.end(), [](const std::string& e) { return Has(e, " /") || Has(e, " scan log/"); }), events.end());
  return events;
}

// The order that keeps the mail whole, whatever else a run does: each copy is
// flushed, and then its folder, before the queue's file that it stands for
// goes (a Windows file system journals names: Windows has no folder to flush);
// the record is replaced whole before the first copy (to say that the message
// is being quarantined) and again after the queue's files have gone, and the
// entry's lock goes after that; TEMPPATH's files go last.
void ExpectCopiesOnDiskBeforeTheQueueFilesGo(const std::vector<std::string>& events, bool tagged, bool wine) {
  const auto at = [&](const std::string& event, std::size_t from) {
    return static_cast<std::size_t>(std::find(events.begin() + std::min(from, events.size()), events.end(), event) - events.begin());
  };
  const auto folder = [](const std::string& file) { return file.substr(0, file.rfind('/') + 1); };
  // Each copy whole on disk between the events at "from" and "before", and its name in the folder given, if any;
  // the last of its flushes counts.
  const auto on_disk = [&](const std::string& copy, const std::string& name_in, std::size_t from, std::size_t before) {
    std::size_t flushed = events.size();
    for (std::size_t i = from; i < before && i < events.size(); ++i) flushed = events[i] == "flush " + copy ? i : flushed;
    EXPECT_LT(flushed, before) << copy << " is not flushed in time";
    if (!wine && !name_in.empty()) {
      EXPECT_LT(at("flush " + name_in, flushed + 1), before) << copy << "'s folder is not flushed in time";
    }
  };
  std::size_t queue_gone = 0, first = events.size();  // the last and the first event of the queue's files
  // The pickup file goes first: the server never picks up a message that is gone.
  for (const std::string& file : tagged ? std::vector<std::string>{"move temp/RUN.OUT over queue/Messages/N.MAI"}
                                        : std::vector<std::string>{"delete queue/N.MAI", "delete queue/Messages/N.MAI"}) {
    ASSERT_LT(at(file, 0), events.size()) << file << " is not in the trace";
    EXPECT_LE(queue_gone, at(file, 0)) << file << " goes too soon";
    queue_gone = std::max(queue_gone, at(file, 0));
    first = std::min(first, at(file, 0));
  }
  if (tagged) {
    on_disk("temp/RUN.OUT", "", 0, first);  // its name is the queue's, once moved
    if (!wine) {
      EXPECT_LT(at("flush queue/Messages/", first + 1), events.size()) << "the queue's folder is not flushed after the move";
    }
  } else {
    std::size_t first_copy = events.size();
    for (const std::string copy : {"quarantine/RUN.MAI", "quarantine/Messages/RUN.MAI", "quarantine/Messages/RUN.SA"}) {
      on_disk(copy, folder(copy), 0, first);
      first_copy = std::min(first_copy, at("flush " + copy, 0));
    }
    // The record is replaced whole: flushed under its passing name, moved, and its folder flushed. It says
    // "quarantining" before the first copy is made (an entry without a record counts as whole), and the entry's
    // lock goes only once the record says it is whole (Windows removes the lock's file with its handle).
    const std::string record = "quarantine/Messages/RUN.INF", moved = "move " + record + "-new over " + record;
    const auto replaced = [&](std::size_t from, std::size_t before, const char* when) {
      const std::size_t at_move = at(moved, from);
      EXPECT_LT(at_move, before) << "the record is not replaced " << when;
      on_disk(record + "-new", "", from, at_move);
      if (!wine) {
        EXPECT_LT(at("flush " + folder(record), at_move + 1), before) << "the record's folder is not flushed " << when;
      }
      return at_move;
    };
    EXPECT_LT(replaced(0, first, "before the queue's files go"), first_copy) << "the record comes after a copy";
    const std::size_t whole = replaced(queue_gone + 1, events.size(), "after the queue's files have gone");
    if (!wine) {
      EXPECT_LT(at("flush " + folder(record), whole + 1), at("delete quarantine/Messages/RUN.LCK", whole + 1)) << "the lock goes too soon";
      EXPECT_LT(at("delete quarantine/Messages/RUN.LCK", whole + 1), events.size()) << "the lock stays";
    }
  }
  for (const std::string temp : {"delete temp/RUN.BAT", tagged ? "" : "delete temp/RUN.OUT"}) {
    if (!temp.empty()) {
      EXPECT_LT(at(temp, queue_gone + 1), events.size()) << temp << " is not after the queue's files";
    }
  }
}

// The files of the queue and (when asked) of the quarantine folder with their
// content; a run name of 32 hexadecimal digits reads as RUN.
std::map<std::string, std::string> Snapshot(const Sandbox& box, bool with_quarantine) {
  std::map<std::string, std::string> files;
  for (const auto& [folder, label] : {std::pair{box.inbound, "queue/"}, {with_quarantine ? box.quarantine : "", "quarantine/"}}) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ignored)) {
      const std::string name = label + std::filesystem::relative(entry.path(), folder).generic_string();
      // The record's time is the run's own.
      if (entry.is_regular_file()) {
        files[std::regex_replace(name, std::regex("[0-9A-F]{32}"), "RUN")] =
            std::regex_replace(ReadFile(entry.path()), std::regex("quarantined=[^\r\n]+"), "quarantined=TIME");
      }
    }
  }
  return files;
}

// The header section of a message or output, up to its first empty line.
std::string HeaderOf(const std::string& message) { return message.substr(0, std::min(message.find("\n\n"), message.find("\n\r\n"))); }

// A header field of the message as written, unfolded ("" when it has none).
std::string HeaderField(const std::string& message, const std::string& name) {
  std::smatch m;
  const std::string header = HeaderOf(message);
  if (!std::regex_search(header, m, std::regex("(^|\n)" + name + ": ([^\r\n]*(\r?\n[ \t][^\r\n]*)*)"))) return "";
  return std::regex_replace(m[2].str(), std::regex("\r?\n[ \t]+"), " ");
}

// The sandbox's scan log: no file when the run logs nothing, else today's file
// with the header row and one line that names the message and what became of it.
void ExpectScanLog(const Sandbox& box, const Scenario& s) {
  const auto files = FilesIn(box.folder / "scan log");
  ASSERT_EQ(files.size(), Has(s.setup, "logged") ? 2u : s.log == "-" ? 0u : 1u);
  if (s.log == "-") return;
  const std::vector<std::string> lines = box.ScanLogLines(), f = ParseCsvLine(lines.back());
  ASSERT_EQ(lines.size() * 100 + f.size(), 200 + kScanLogColumnCount) << lines.back();
  EXPECT_EQ(lines[0], "\xEF\xBB\xBF" + std::string(kScanLogColumns));
  EXPECT_EQ(*files.begin(), "saplugin-" + f[kLogTime].substr(0, 10) + ".csv");
  EXPECT_TRUE(std::regex_match(f[kLogTime], std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d"))) << f[kLogTime];
  const bool found = s.log != "missing" && !Has(s.setup, "one-word") && !Has(s.setup, "bad-registry");
  EXPECT_EQ(f[kLogConnector] + " " + f[kLogMessage] + " " + f[kLogSize] + " " + f[kLogOutcome],
            (Has(s.setup, "one-word") ? "" : box.connector) + " N.MAI " + (found ? std::to_string(s.message.size()) : "") + " " + s.log) << lines.back();
  // What the filter said, where it said something.
  const bool scanned = Has(" tagged kept quarantined deleted left filter-failed ", (" " + s.log + " ").c_str()) ||
                       (s.log == "trap" && !f[kLogVerdict].empty());
  const std::string output = FilterOutput(s.message, s.directives);
  const std::string said = f[kLogVerdict] + " " + f[kLogScore] + " " + f[kLogRequired] + " " + f[kLogRules];
  const bool flagged = std::regex_search(HeaderOf(output), std::regex("(^|\n)X-Spam-Flag: YES", std::regex::icase));
  const std::string status = Has(output, "tests=GTUBE") ? " 1000.0 5.0 GTUBE" : Has(output, "tests=none") ? " 0.0 5.0 none" : "   ";
  const std::string expected = !scanned ? "   " : (flagged ? "spam" : "clean") + status;
  // SpamAssassin's own score and rules are its to choose.
  const std::regex real("[a-z]* -?[0-9.]+ [0-9.]* [A-Z_0-9,]+");
  EXPECT_TRUE(Has(s.setup, "real-filter") ? std::regex_match(said, real) : said == expected) << lines.back();
  // The reason: a failed filter's exit status, as the row's entry has it; a trap's cause, and what a filter that gave
  // no message did, as the run plan's table has them.
  std::smatch failed;
  const bool failure = std::regex_search(s.events, failed, std::regex("failed with exit status (\\d+)"));
  const std::string reason = failure ? "exit status " + failed[1].str() : "";
  EXPECT_TRUE(s.log == "trap" ? !f[kLogReason].empty() : s.log == "no-message" || f[kLogReason] == reason) << lines.back();
  const std::string& quarantined = f[kLogQuarantineFile];
  EXPECT_EQ(quarantined.empty(), s.log != "quarantined");
  EXPECT_TRUE(quarantined.empty() || ReadFile(box.quarantine + "/Messages/" + quarantined) == s.message) << quarantined;
  const bool timed = !f[kLogFilterSeconds].empty();
  // A trap comes before or after the filter ran.
  EXPECT_TRUE(s.log == "trap" || !timed == (s.log == "missing" || s.log == "too-large")) << lines.back();
  EXPECT_EQ(f[kLogSubject], found ? HeaderField(s.message, "Subject") : "") << lines.back();
  EXPECT_EQ(f[kLogFrom], found ? HeaderField(s.message, "From") : "") << lines.back();
}

}  // namespace

std::vector<Scenario> Scenarios(int build) {
  std::vector<Scenario> rows;
  for (const Scenario& row : Table()) if (row.builds & build) rows.push_back(row);
  return rows;
}

void RunScenario(const Build& build, const Scenario& s) {
  Sandbox box(build);
  std::string settings = s.settings;
  const auto use = [&](const std::string& key, const std::string& name, const std::string& text) {
    WriteFile(box.folder / name, text);
    chmod((box.folder / name).c_str(), 0755);
    settings += " " + key + "={box}/" + name;
  };
  if (!s.directives.empty()) use("SPAMASSASSINRULESPATH", "faults.txt", s.directives);
  if (s.setup.rfind("sh:", 0) == 0) use("SPAMASSASSINEXE", "filter.sh", "#!/bin/sh\n" + s.setup.substr(3) + "\n");
  if (Has(s.setup, "spamc-cmd")) {  // only a daemon on 127.0.0.1 is up
    std::string adapter = ReadFile(SAPLUGIN_SOURCE_DIR "/dist/spamc-filter.cmd");
    adapter = std::regex_replace(adapter, std::regex("set SPAMC=.*"), "set SPAMC=" + box.Native(build.safilter));
    use("SPAMASSASSINEXE", "spamc.cmd", std::regex_replace(adapter, std::regex("127.0.0.1"), Has(s.setup, "down") ? "127.0.0.2,127.0.0.3" : "127.0.0.2,127.0.0.1"));
  }
  if (Has(s.setup, "temp-elsewhere")) box.MoveTempElsewhere();
  if (Has(s.setup, "real-filter")) {
    ASSERT_EQ(std::system(("'" SAPLUGIN_SOURCE_DIR "/scripts/make-sa-rules' '" + box.folder / "rules'").c_str()), 0);
    settings += " SPAMASSASSINEXE=/usr/bin/spamassassin";
  }
  if (Has(s.setup, "small-temp")) box.MountSmallVolume(box.temp, "256k");
  if (Has(s.setup, "small-quarantine")) box.MountSmallVolume(box.quarantine, "64k");
  if (Has(s.setup, "small-queue")) box.MountSmallVolume(box.data, "256k");
  if (Has(s.setup, "temp-bound-to-queue")) box.BindFolder(box.data + "/QUEUES/" + box.connector, box.temp);
  if (Has(s.setup, "percent-temp")) std::filesystem::create_directories(box.temp = box.folder / "100% of 5%");
  if (Has(s.setup, "filter-variable")) {
    const std::filesystem::path filter(build.safilter);
    box.environment["SAFILTER_HOME"] = box.Native(filter.parent_path().string());
    settings += " SPAMASSASSINEXE=%SAFILTER_HOME%\\" + filter.filename().string();
  }
  const bool check = Has(s.setup, "sacheck"), printed = check || Has(s.setup, "help") || Has(s.setup, "version");
  if (Has(s.setup, "trace") && build.wine && !check) box.environment["WINEDEBUG"] += ",+relay";
  // A rules path that ends with a separator, and the filter's record of the words it got.
  if (Has(s.setup, "arguments")) {
    box.environment["SAFILTER_ARGUMENTS"] = box.Native(box.folder / "arguments.txt");
    settings += " SPAMASSASSINRULESPATH={box}/rules\\";
  }
  if (Has(s.setup, "trace") && !build.wine) {
    box.tracer = {"strace", "-f", "-y", "-qq", "-o", box.folder / "trace.txt", "-e", "trace=fsync,rename,renameat,renameat2,unlink,unlinkat"};
  }
  if (Has(s.setup, "comspec-true")) box.environment["COMSPEC"] = "/bin/true";
  if (Has(s.setup, "comspec-quoted")) box.environment["COMSPEC"] = "\"" + box.environment["COMSPEC"] + "\"";
  if (Has(s.setup, "comspec-missing")) box.environment["COMSPEC"] = "/no/shell";
  if (Has(s.setup, "no-registry")) box.environment["SAPLUGIN_REGISTRY"] = "-";
  if (Has(s.setup, "bad-registry")) WriteFile(box.folder / "registry.reg", std::string("\xff\xfe\x00[HKEY_LOCAL", 12));
  if (s.settings[0] == '=') WriteFile(box.bin + "/spamassassinconfig.ini", s.settings.substr(1));
  if (s.settings[0] != '=' && !Has(s.setup, "no-config")) box.Configure(settings);
  const std::string message = box.messages + "/N.MAI", pickup = box.inbound + "/N.MAI";
  if (!Has(s.setup, "not-queued")) box.Queue("N.MAI", s.message);
  if (Has(s.setup, "ro-message")) SetReadOnly(message);
  if (Has(s.setup, "ro-pickup")) SetReadOnly(pickup);
  // A message of another account's, readable by it alone (the tests run as root).
  if (Has(s.setup, "private-message") && (chown(message.c_str(), 4321, 4322) != 0 || chmod(message.c_str(), 0600) != 0)) {
    FAIL() << "cannot make the message private";
  }
  if (Has(s.setup, "no-messages")) std::filesystem::remove_all(box.messages);
  if (Has(s.setup, "logged")) {
    WriteFile(box.folder / ("scan log/saplugin-" + ToLocalTime(std::time(nullptr)).date + ".csv"), "\xEF\xBB\xBF" + std::string(kScanLogColumns) +
              "\r\nT,C,A,1,spam,quarantined,,9,5,X,q,2.5,,\r\nT,C,B,1,clean,tagged,,0,5,none,,0.25,,\r\nT,C,C,1,,trap,\"Could not, at all\",,,,,,,\r\n"
              "a line cut short\r\nT,C,D,1,spam,deleted,,9,5,X,,1.000,,\r\nT,C,E,1,,no-message,,,,,,,,\r\nT,C,F,1,,filter-failed,,,,,,,,\r\nT,C,G,1,,time-limit,,,,,,,,\r\n");
    // The day's second file, written while a reader held the first.
    WriteFile(box.folder / ("scan log/saplugin-" + ToLocalTime(std::time(nullptr)).date + "-2.csv"), "\xEF\xBB\xBF" + std::string(kScanLogColumns) +
              "\r\nT,C,H,1,spam,quarantined,,9,5,X,q,3.5,,\r\nT,C,I,1,clean,tagged,,0,5,none,,0.25,,\r\n");
    if (Has(s.setup, "unreadable")) {
      chmod((box.folder / ("scan log/saplugin-" + ToLocalTime(std::time(nullptr)).date + ".csv")).c_str(), 0);
      // Root reads any file: sacheck goes without the capabilities that let it.
      box.tracer = {"setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
    }
  }
  // The event source as the installer registers it, for this run only (Wine's registry is the suite's).
  const std::string key = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\saplugin";
  const auto reg = [&](std::vector<std::string> words) { return WaitProcess(StartProcess(words, {{"WINEDEBUG", "-all"}}, "/dev/null")); };
  const bool source = Has(s.setup, "event-source");
  ASSERT_TRUE(!source || reg({"wine", "reg", "add", key, "/v", "EventMessageFile", "/t", "REG_EXPAND_SZ", "/d", box.Native(box.bin) + "\\SAPLUGIN.exe", "/f"}) == 0);
  const std::shared_ptr<void> unregister(nullptr, [&](void*) { if (source) reg({"wine", "reg", "delete", key, "/f"}); });
  const RunResult run = box.Run(Has(s.setup, "one-word")  ? std::vector<std::string>{"N.MAI"}
                                : Has(s.setup, "help")    ? std::vector<std::string>{"--help"}
                                : Has(s.setup, "version") ? std::vector<std::string>{"--version"}
                                                          : std::vector<std::string>{},
                                check ? "sacheck" : "saplugin");

  // The events column: sacheck's report holds each line; a run's entries each
  // begin with theirs. sacheck logs nothing.
  std::vector<std::string> events = box.Events(), expected;
  std::istringstream lines(s.events);
  for (std::string line; std::getline(lines, line);) {
    // An entry longer than ReportEvent takes (31,839 characters) ends within them with the note of
    // its cut; Wine traces no more than an entry's first few hundred characters.
    if (Has(s.setup, "long-entry") && line.size() > 31839) {
      const std::string note = " ... (cut: " + std::to_string(line.size()) + " characters in all)";
      line = build.wine ? line.substr(0, 200) : line.substr(0, 31839 - note.size()) + note;
    }
    line = Expand(line, {{"{bin}", box.Native(box.bin)}, {"{box}", box.Native(box.folder.path)}, {"{connector}", box.connector}});
    EXPECT_TRUE(!printed || Has(run.output, line.c_str())) << line << " in\n" << run.output;
    const std::size_t n = expected.size();
    if (!printed) expected.push_back(events.size() > n && events[n].rfind(line, 0) == 0 ? events[n] : line);
  }
  EXPECT_EQ(events, expected) << run.standard_error;
  if (Has(s.setup, "arguments")) {
    EXPECT_EQ(ReadFile(box.folder / "arguments.txt"), "-P\n-c\n" + box.Native(box.folder / "rules") + "\\\n");
  }
  EXPECT_EQ(run.status, s.status) << run.standard_error;
  // A run that ends normally writes nothing on standard error but what the filter wrote there.
  EXPECT_TRUE(build.wine || run.status != 0 || !expected.empty() ||
              run.standard_error == (Has(s.directives, "stderr") ? "deprecated option\n" : "")) << run.standard_error;
  struct stat info {};
  const bool kept_private = stat(message.c_str(), &info) == 0 && info.st_uid == 4321 && info.st_gid == 4322 && (info.st_mode & 07777) == 0600;
  EXPECT_TRUE(kept_private || !Has(s.setup, "private-message")) << info.st_uid << ":" << info.st_gid << " " << std::oct << info.st_mode;
  // No process that the run started outlives it: none holds the sandbox's
  // environment (one that was killed may take a moment to go; the environment
  // of one that has gone but is not reaped reads empty).
  std::string left = build.wine ? "" : "?";
  for (int i = 0; i < 20 && !left.empty(); ++i, left.empty() || usleep(100000)) {
    left.clear();
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      if (ReadFile(entry.path() / "environ").find("BOX=" + box.folder.path + '\0') != std::string::npos) left += entry.path().string() + " ";
    }
  }
  EXPECT_EQ(left, "");

  ExpectScanLog(box, s);

  const std::string pickup_text = "pickup of N.MAI\r\n", output = FilterOutput(s.message, s.directives);
  const std::map<Outcome, std::map<std::string, std::string>> outcomes = {
      {O::kLeft, {{"queue/N.MAI", pickup_text}, {"queue/Messages/N.MAI", s.message}}}, {O::kDeleted, {}},
      {O::kTagged, {{"queue/N.MAI", pickup_text}, {"queue/Messages/N.MAI", output}}}, {O::kPickupGone, {{"queue/Messages/N.MAI", s.message}}},
      {O::kQuarantined, {{"quarantine/RUN.MAI", pickup_text}, {"quarantine/Messages/RUN.MAI", s.message}, {"quarantine/Messages/RUN.SA", output},
                         {"quarantine/Messages/RUN.INF", "connector=" + box.connector + "\r\nmessage=N.MAI\r\nquarantined=TIME\r\n"}}}};
  EXPECT_EQ(Snapshot(box, run.status != 1), outcomes.at(s.outcome));
  // sacheck makes and removes nothing in the queue (traced on Linux).
  if (Has(s.setup, "trace") && check) {
    for (const std::string& event : build.wine ? std::vector<std::string>{} : FileTrace(box, ReadFile(box.folder / "trace.txt"))) {
      EXPECT_FALSE(Has(event, " queue/")) << event;
    }
  } else if (Has(s.setup, "trace")) {
    ExpectCopiesOnDiskBeforeTheQueueFilesGo(FileTrace(box, build.wine ? run.standard_error : ReadFile(box.folder / "trace.txt")),
                                            s.outcome == O::kTagged, build.wine);
  }
  // Nothing left in TEMPPATH by a run that ended by itself, nothing written
  // anywhere else.
  EXPECT_TRUE((run.status == 1 && !check) || RunFilesIn(box.temp).empty());
  for (const auto& name : FilesIn(box.folder.path)) {
    EXPECT_TRUE(Has(" registry.reg events.log stderr.txt stdout.txt faults.txt filter.sh spamc.cmd trace.txt arguments.txt ", (" " + name + " ").c_str())) << name;
  }
  // No folder either (a relative path would make one in the folder the run started in), but the
  // real filter's own in HOME.
  const std::set<std::string> folders{"data", "program files", "quarantine", "temp", "rules", "my shell", "scan log", "100% of 5%", ".spamassassin"};
  for (const auto& entry : std::filesystem::directory_iterator(box.folder.path)) {
    EXPECT_TRUE(!entry.is_directory() || folders.count(entry.path().filename().string())) << entry.path();
  }
}

}  // namespace saplugin
