#include "check/check.h"

#include <gtest/gtest.h>

#include <sstream>

#include "memory_platform.h"
#include "platform/text.h"

namespace saplugin {
namespace {

// sacheck's whole report over a set-up in memory, each line as
// "STATUS|subject|detail": a configuration of the main section's keys ("|"
// standing for a line break) beside the program, the folders C:\Temp and C:\Q,
// the filter C:\SA\sa.exe and its rules C:\SA\rules, and the connector SMTP in
// the mail server's queue folder; keys "-": no configuration file. No process
// runs and no host answers here. The last line: "status N", sacheck's.
std::string Checked(const std::string& keys, std::map<std::string, std::string> environment = {}) {
  test::MemoryPlatform platform;
  platform.data_directory = "C:\\Server";
  for (const char* folder : {"C:\\Temp", "C:\\Q", "C:\\Q\\Messages", "C:\\SA\\rules", "C:\\Server\\QUEUES\\SMTP\\Inbound\\Messages"}) {
    platform.fs.AddFolder(folder);
  }
  platform.fs.Put("C:\\SA\\sa.exe", "MZ");
  platform.environment = std::move(environment);
  if (keys != "-") platform.PutConfiguration("[SPAMASSASSIN Plugin Config]|" + keys);
  std::ostringstream out;
  const int status = RunChecks(platform, "", out);
  std::istringstream lines(out.str());
  std::string shown;
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 32) continue;  // the summary
    shown += Trim(line.substr(0, 8), " ") + "|" + Trim(line.substr(9, 22), " ") + "|" + line.substr(32) + "\n";
  }
  return shown + "status " + std::to_string(status);
}

// Each key as a run takes it, and what sacheck says of it: every line of
// "lines" is among sacheck's lines (or a part of one); one starting with "!"
// must not be.
TEST(Check, EachKeyAsARunTakesItAndWhatItMeans) {
  // After each row's keys: a run takes a key's first line.
  const std::string base = "TEMPPATH=C:\\Temp|SPAMASSASSINEXE=C:\\SA\\sa.exe|SPAMASSASSINRULESPATH=C:\\SA\\rules";
  const std::string stops = ": every run stops before scanning";
  const std::string long_value(40000, '7');
  const struct {
    std::string keys;
    std::string lines;
  } cases[] = {
      {"QUARANTINE=1|QUARANTINEPATH=C:\\Q", "OK|QUARANTINE|\"1\" -> 1\nOK|QUARANTINEPATH|\"C:\\Q\" -> C:\\Q\\\n"},
      {"QUARANTINE=3|QUARANTINEPATH=C:\\Q", "WARNING|QUARANTINE|\"3\" -> 3: flagged messages are left in the queue as they are"},
      {"QUARANTINE=2", "WARNING|QUARANTINE|\"2\" -> 2: QUARANTINEPATH is not set: quarantining is off, flagged messages are tagged\n"
                       "WARNING|QUARANTINEPATH|\"\" -> -: not set: quarantining is off"},
      {"QUARANTINE=x", "FAIL|QUARANTINE|\"x\" -> -: Type mismatch: QUARANTINE \"x\" is not a whole number" + stops},
      {"QUARANTINEPATH=C:\\none", "FAIL|QUARANTINEPATH|\"C:\\none\" -> C:\\none\\: names no folder\n"
                                  "FAIL|loading|Quantine path is not a valid directory: every run stops before scanning"},
      {"QUARANTINEPATH=C:\\Server\\QUEUES\\Q", "FAIL|QUARANTINEPATH|\"C:\\Server\\QUEUES\\Q\" -> C:\\Server\\QUEUES\\Q\\: "},
      {"MAXMESSAGESIZE=0", "OK|MAXMESSAGESIZE|\"0\" -> 0 (no limit)"},
      {"MAXMESSAGESIZE=-1", "OK|MAXMESSAGESIZE|\"-1\" -> -1 (no limit)"},
      {"MAXMESSAGESIZE=1", "OK|MAXMESSAGESIZE|\"1\" -> 1\n"},
      {"KEEPORIGINAL=1", "OK|KEEPORIGINAL|\"1\" -> clean messages stay as received"},
      {"KEEPORIGINAL=yes", "WARNING|KEEPORIGINAL|\"yes\" -> clean messages are tagged: KEEPORIGINAL \"yes\" is off"},
      {"SPAMSCORE=6.5", "OK|SPAMSCORE|\"6.5\" -> 6.5\nOK|HIGHSCORE|\"\" -> not set\nOK|HIGHSCOREACTION|\"\" -> not set"},
      {"SPAMSCORE=6,5", "FAIL|SPAMSCORE|\"6,5\" -> -: Type mismatch: SPAMSCORE \"6,5\" is not a score"},
      {"HIGHSCORE=1e3|HIGHSCOREACTION=x", "FAIL|HIGHSCORE|\"1e3\" -> -: \nFAIL|HIGHSCOREACTION|\"x\" -> -: "},
      {"HIGHSCOREACTION=2", "OK|HIGHSCOREACTION|\"2\" -> 2"},
      {"TESTMODE=1", "OK|TESTMODE|\"1\" -> on"},
      {"TESTMODE=0", "OK|TESTMODE|\"0\" -> off"},
      {"TESTMODE=on", "FAIL|TESTMODE|\"on\" -> -: Type mismatch: TESTMODE \"on\" is not 0 or 1 (write 1 to turn it on"},
      {"SPAMDHOSTS=127.0.0.1:9", "OK|SPAMDHOSTS|\"127.0.0.1:9\" -> 1 host, checked below\n"
                                 "OK|SPAMASSASSINEXE|\"C:\\SA\\sa.exe\" -> not used: SPAMDHOSTS is set\n"
                                 "OK|SPAMASSASSINRULESPATH|\"C:\\SA\\rules\" -> not used: SPAMDHOSTS is set\n"
                                 "OK|SPAMDTIMEOUT|\"\" -> 60 s per host (the default)\nOK|SPAMDRETRYAFTER|\"\" -> 30 s a failed host is asked"},
      {"SPAMDHOSTS=a,b:7|SPAMDTIMEOUT=5|SPAMDRETRYAFTER=-3", "OK|SPAMDHOSTS|\"a,b:7\" -> 2 hosts, checked below\n"
                                                             "OK|SPAMDTIMEOUT|\"5\" -> 5 s per host\n!SPAMDTIMEOUT|\"5\" -> 5 s per host (the default)\n"
                                                             "\"-3\" -> 30 s a failed host is asked after the others (the default)"},
      {"SPAMDHOSTS=a:0", "FAIL|SPAMDHOSTS|\"a:0\" -> -: Type mismatch: SPAMDHOSTS \"a:0\": host entry 1 \"a:0\" is no host or host:port"},
      {"SPAMDTIMEOUT=5", "OK|SPAMDTIMEOUT|\"5\" -> not used: SPAMDHOSTS is not set\nOK|SPAMDHOSTS|\"\" -> not set: the filter runs through the batch file"},
      {"SPAMASSASSINEXE=C:\\SA\\none.exe", "FAIL|SPAMASSASSINEXE|\"C:\\SA\\none.exe\" -> C:\\SA\\none.exe: no such program"},
      {"SPAMASSASSINEXE=%SA%\\sa.exe", "OK|SPAMASSASSINEXE|\"%SA%\\sa.exe\" -> C:\\SA\\sa.exe\n"},
      {"SPAMASSASSINEXE=", "FAIL|SPAMASSASSINEXE|\"\" -> -: not set"},
      {"SPAMASSASSINRULESPATH=C:\\SA\\sa.exe", "OK|SPAMASSASSINRULESPATH|\"C:\\SA\\sa.exe\" -> C:\\SA\\sa.exe\n"},
      {"SPAMASSASSINRULESPATH=C:\\SA\\none", "FAIL|SPAMASSASSINRULESPATH|\"C:\\SA\\none\" -> C:\\SA\\none: no such file or folder"},
      {"TEMPPATH=", "FAIL|TEMPPATH|\"\" -> -: "},
      {"TEMPPATH=C:\\%SA%", "FAIL|TEMPPATH|\"C:\\%SA%\" -> C:\\%SA%\\: TEMPPATH \"C:\\%SA%\" holds a %NAME% of a set environment variable, which the "
                            "command interpreter replaces on \nlook for each run's batch file in \"C:\\C:\\SA\" and no filter would run\nFAIL|trial scan|not run: TEMPPATH cannot work (see its line)"},
      {"TEMPPATH=C:\\none", "FAIL|TEMPPATH|\"C:\\none\" -> C:\\none\\: names no folder\nFAIL|trial scan|not run: the configuration must load and TEMPPATH must be a folder"},
      {"QUARANTINEDAYS=14", "OK|QUARANTINEDAYS|\"14\" -> 14 days, then saquarantine purge removes a message"},
      {"QUARANTINEDAYS=0", "OK|QUARANTINEDAYS|\"0\" -> 0 (kept for ever)"},
      {"SALEARNEXE=C:\\SA\\sa.exe", "OK|SALEARNEXE|\"C:\\SA\\sa.exe\" -> C:\\SA\\sa.exe\n"},
      {"SALEARNEXE=C:\\SA\\learn.exe", "WARNING|SALEARNEXE|\"C:\\SA\\learn.exe\" -> C:\\SA\\learn.exe: no such program: saquarantine learn fails"},
      {"SCANTIMELIMIT=86400", "OK|SCANTIMELIMIT|\"86400\" -> 86400 s\n"},
      {"SCANTIMELIMIT=86401", "WARNING|SCANTIMELIMIT|\"86401\" -> 86400 s: longer than a day counts as a day"},
      {"SCANTIMELIMIT=0", "OK|SCANTIMELIMIT|\"0\" -> 0 (no limit)"},
      {"SCANLOGPATH=C:\\Temp", "OK|SCANLOGPATH|\"C:\\Temp\" -> C:\\Temp\\\n"},
      {"SCANLOGPATH=", "OK|SCANLOGPATH|\"\" -> no scan log\n"},
      {"SCANLOGPATH=C:\\Logs", "WARNING|SCANLOGPATH|\"C:\\Logs\" -> C:\\Logs\\: names no folder: runs go on without their log lines"},
      {"SCANLOGPATH=C:\\Server\\QUEUES\\SMTP", "WARNING|SCANLOGPATH|\"C:\\Server\\QUEUES\\SMTP\" -> C:\\Server\\QUEUES\\SMTP\\: lies in the "
                                             "mail server's queue folder C:\\Server\\QUEUES, which takes what lies there for mail: choose a folder "
                                             "outside it: runs keep no scan log, and each logs a Warning entry"},
      {"SCANLOGPATH=%LOGS%\\x", "WARNING|SCANLOGPATH|\"%LOGS%\\x\" -> -: SCANLOGPATH \"%LOGS%\\x\" names the environment variable LOGS, which is "
                               "not set: runs keep no scan log, and each logs a Warning entry"},
      // Relative paths: a run takes them from the folder it starts in.
      {"SPAMASSASSINEXE=sa.exe", "WARNING|SPAMASSASSINEXE|\"sa.exe\" -> sa.exe: not a full path: a run takes it from the folder it starts in (or from PATH)"},
      {"SCANLOGPATH=logs", "WARNING|SCANLOGPATH|\"logs\" -> logs\\: names no folder: runs go on without their log lines; not a full path: "
                           "a run takes it from the folder it starts in, here "},
      {"-", "FAIL|configuration|C:\\Program\\spamassassinconfig.ini: no such configuration file; every run ends at once and messages pass unscanned\nFAIL|trial scan|not run: the configuration must load\n!QUARANTINE|\nstatus 2"},
      // A key too long to read whole stops every run.
      {"MAXMESSAGESIZE=" + long_value, "FAIL|MAXMESSAGESIZE|\"" + long_value.substr(0, 254) + "\" -> -: "},
  };
  for (const auto& c : cases) {
    const std::string shown = Checked(c.keys == "-" ? c.keys : c.keys + "|" + base, {{"SA", "C:\\SA"}});
    std::istringstream wanted(c.lines);
    for (std::string line; std::getline(wanted, line);) {
      const bool absent = line[0] == '!';
      EXPECT_EQ(shown.find(line.substr(absent)) != std::string::npos, !absent) << c.keys << ": " << line << " in\n" << shown;
    }
  }
}

}  // namespace
}  // namespace saplugin
