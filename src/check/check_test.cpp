#include "check/check.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <regex>
#include <sstream>

#include "expect_among.h"
#include "memory_platform.h"
#include "platform/text.h"
#include "store/run_leftovers.h"

namespace saplugin {
namespace {

using test::ExpectAmong;

// sacheck's whole report over a set-up in memory, each line as
// "STATUS|subject|detail": a configuration of the main section's keys ("|"
// standing for a line break) beside the program, the folders C:\Temp and C:\Q,
// the filter C:\SA\sa.exe and its rules C:\SA\rules, and the connector SMTP in
// the mail server's queue folder; keys "-": no configuration file. No process
// runs and no host answers here; setup lays out more. The last line:
// "status N", sacheck's.
std::string Checked(const std::string& keys, const std::function<void(test::MemoryPlatform&)>& setup) {
  test::MemoryPlatform platform;
  platform.data_directory = "C:\\Server";
  for (const char* folder : {"C:\\Temp", "C:\\Q", "C:\\Q\\Messages", "C:\\SA\\rules", "C:\\Server\\QUEUES\\SMTP\\Inbound\\Messages"}) {
    platform.fs.AddFolder(folder);
  }
  platform.fs.Put("C:\\SA\\sa.exe", "MZ");
  setup(platform);
  if (keys != "-") platform.PutConfiguration("[SPAMASSASSIN Plugin Config]|" + keys);
  std::ostringstream out;
  const int status = RunChecks(platform, "", out);
  std::istringstream lines(out.str());
  std::string shown;
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 32) continue;  // the summary
    shown += Trim(line.substr(0, 8), " ") + "|" + Trim(line.substr(9, 22), " ") + "|" + line.substr(32) + "\n";
  }
  // Times vary from run to run.
  shown = std::regex_replace(shown, std::regex("PONG in [0-9]+ ms(, GTUBE scanned in [0-9.]+ s)?"), "PONG$1");
  shown = std::regex_replace(shown, std::regex(", GTUBE scanned in [0-9.]+ s"), ", GTUBE scanned");
  shown = std::regex_replace(shown, std::regex("\\([0-9]+\\.[0-9]{2} s\\)"), "(N s)");
  return shown + "status " + std::to_string(status);
}

// Each key as a run takes it, and what sacheck says of it.
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
                                                             "OK|SPAMDTIMEOUT|\"5\" -> 5 s per host\n"
                                                             "!SPAMDTIMEOUT|\"5\" -> 5 s per host (the default)\n"
                                                             "\"-3\" -> 30 s a failed host is asked after the others (the default)"},
      {"SPAMDHOSTS=a:0", "FAIL|SPAMDHOSTS|\"a:0\" -> -: Type mismatch: SPAMDHOSTS \"a:0\": host entry 1 \"a:0\" is no host or host:port"},
      {"SPAMDTIMEOUT=5", "OK|SPAMDTIMEOUT|\"5\" -> not used: SPAMDHOSTS is not set\n"
                         "OK|SPAMDHOSTS|\"\" -> not set: the filter runs through the batch file"},
      {"SPAMASSASSINEXE=C:\\SA\\none.exe", "FAIL|SPAMASSASSINEXE|\"C:\\SA\\none.exe\" -> C:\\SA\\none.exe: no such program"},
      {"SPAMASSASSINEXE=%SA%\\sa.exe", "OK|SPAMASSASSINEXE|\"%SA%\\sa.exe\" -> C:\\SA\\sa.exe\n"},
      {"SPAMASSASSINEXE=", "FAIL|SPAMASSASSINEXE|\"\" -> -: not set"},
      // The interpreter's reading of "%": a batch file's argument (it has none), one left alone, "%%".
      {"SPAMASSASSINEXE=C:\\SA\\%1sa.exe%", "OK|SPAMASSASSINEXE|\"C:\\SA\\%1sa.exe%\" -> C:\\SA\\sa.exe\n"},
      {"SPAMASSASSINEXE=C:\\SA\\%sa.exe", "OK|SPAMASSASSINEXE|\"C:\\SA\\%sa.exe\" -> C:\\SA\\sa.exe\n"},
      {"SPAMASSASSINEXE=C:\\SA\\s%%a.exe", "FAIL|SPAMASSASSINEXE|\"C:\\SA\\s%%a.exe\" -> C:\\SA\\s%a.exe: no such program"},
      {"SPAMASSASSINRULESPATH=C:\\SA\\sa.exe", "OK|SPAMASSASSINRULESPATH|\"C:\\SA\\sa.exe\" -> C:\\SA\\sa.exe\n"},
      {"SPAMASSASSINRULESPATH=C:\\SA\\none", "FAIL|SPAMASSASSINRULESPATH|\"C:\\SA\\none\" -> C:\\SA\\none: no such file or folder"},
      {"TEMPPATH=", "FAIL|TEMPPATH|\"\" -> -: "},
      {"TEMPPATH=C:\\%SA%", "FAIL|TEMPPATH|\"C:\\%SA%\" -> C:\\%SA%\\: TEMPPATH \"C:\\%SA%\" holds a %NAME% of a set environment variable, which the "
                            "command interpreter replaces on \nlook for each run's batch file in \"C:\\C:\\SA\" and no filter would run\n"
                            "FAIL|trial scan|not run: TEMPPATH cannot work (see its line)"},
      {"TEMPPATH=C:\\none", "FAIL|TEMPPATH|\"C:\\none\" -> C:\\none\\: names no folder\n"
                             "FAIL|trial scan|not run: the configuration must load and TEMPPATH must be a folder"},
      {"", "OK|DIGESTSMTP|\"\" -> not set\nOK|DIGESTFROM|\"\" -> not set"},
      {"DIGESTSMTP=mail", "OK|DIGESTSMTP|\"mail\" -> mail:25: the digests go through it\n"
                          "WARNING|DIGESTFROM|\"\" -> not set: saquarantine digest needs DIGESTSMTP, DIGESTFROM and DIGESTDOMAINS"},
      {"DIGESTFROM=Q <q@x.y>", "FAIL|DIGESTFROM|\"Q <q@x.y>\" -> -: Type mismatch: DIGESTFROM \"Q <q@x.y>\" is no address"},
      {"DIGESTDOMAINS=A.example, b.example", "OK|DIGESTDOMAINS|\"A.example, b.example\" -> a.example, b.example: their recipients get a digest"},
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
      {"SPAMASSASSINEXE=sa.exe",
       "WARNING|SPAMASSASSINEXE|\"sa.exe\" -> sa.exe: not a full path: a run takes it from the folder it starts in (or from PATH)"},
      {"SCANLOGPATH=logs", "WARNING|SCANLOGPATH|\"logs\" -> logs\\: names no folder: runs go on without their log lines; not a full path: "
                           "a run takes it from the folder it starts in, here "},
      {"-", "FAIL|configuration|C:\\Program\\spamassassinconfig.ini: no such configuration file; every run ends at once and messages pass "
            "unscanned\nFAIL|trial scan|not run: the configuration must load\n!QUARANTINE|\nstatus 2"},
      // A key too long to read whole stops every run.
      {"MAXMESSAGESIZE=" + long_value, "FAIL|MAXMESSAGESIZE|\"" + long_value.substr(0, 254) + "\" -> -: "},
  };
  for (const auto& c : cases) {
    const auto setup = [](test::MemoryPlatform& platform) { platform.environment["SA"] = "C:\\SA"; };
    ExpectAmong(Checked(c.keys == "-" ? c.keys : c.keys + "|" + base, setup), c.lines, c.keys);
  }
}

// A spamd daemon in memory, by the way it answers: "spamd" flags GTUBE and
// keeps the message whole; "ham" answers Spam: False; "unflagged" gives no
// Spam field; "headers" keeps only the header section; "no message" answers
// a body that is no message; "no pong" answers PING with an error, "no user"
// the scan; "down" refuses every connection.
std::string Daemon(const std::string& kind, const std::string& request) {
  if (kind == "down") throw Error(10061, "memory", "the connection was refused");
  if (request.rfind("PING ", 0) == 0) return kind == "no pong" ? "SPAMD/1.5 76 EX_PROTOCOL\r\n" : "SPAMD/1.5 0 PONG\r\n";
  if (kind == "no user") return "SPAMD/1.5 67 EX_NOUSER\r\n";
  const std::string message = request.substr(request.find("\r\n\r\n") + 4);
  const bool gtube = message.find("GTUBE") != std::string::npos;
  std::string answered = "X-Spam-Flag: " + std::string(gtube && kind != "ham" ? "YES" : "NO") + "\r\n" + message;
  if (kind == "headers") answered = answered.substr(0, answered.find("\r\n\r\n") + 4);
  if (kind == "no message") answered = "no header\r\n";
  const std::string spam = kind == "unflagged" ? "" : kind == "ham" || !gtube ? "Spam: False ; 0.1 / 5.0\r\n" : "Spam: True ; 1000.0 / 5.0\r\n";
  return "SPAMD/1.5 0 EX_OK\r\n" + spam + "Content-length: " + std::to_string(answered.size()) + "\r\n\r\n" + answered;
}

// Each host of the pool asked as a run would meet it, and the trial scans
// through the pool: hosts is "a=KIND,b=KIND".
TEST(Check, EachSpamdHostAsARunMeetsIt) {
  const struct {
    const char* hosts;
    const char* keys;
    std::string lines;
  } cases[] = {
      {"a=spamd", "", "OK|spamd a:783|PONG, GTUBE scanned: Spam: True ; 1000.0 / 5.0\nOK|trial scan, GTUBE|flagged\nOK|trial scan, clean|clean"},
      {"a=spamd,b=headers", "",
       "OK|spamd a:783|PONG, GTUBE scanned: Spam: True ; 1000.0 / 5.0\nFAIL|spamd b:783|PONG, GTUBE scanned, but its answer's body is not the GTUBE "
       "message's that was sent: the runs may take its answers and lose the messages' text"},
      {"a=ham", "", "FAIL|spamd a:783|PONG, GTUBE scanned, but it answered Spam: False ; 0.1 / 5.0 for GTUBE: the runs take its answers and let spam "
                    "through; check that host's spamd rules\n"
                    "FAIL|trial scan, GTUBE|came back clean, not flagged: the spamd at a:783 does not scan as "
                    "SpamAssassin does\n!check SPAMASSASSINEXE"},
      {"a=no user", "", "FAIL|spamd a:783|PONG, but then it answered \"SPAMD/1.5 67 EX_NOUSER\": check SPAMDHOSTS and SPAMDTIMEOUT\n"
                        "FAIL|trial scan, GTUBE|no spamd host scanned it: a:783 answered \"SPAMD/1.5 67 EX_NOUSER\": check SPAMDHOSTS (\n"
                        "!check SPAMASSASSINEXE"},
      {"a=spamd,b=no user", "", "WARNING|spamd b:783|PONG, but then it answered \"SPAMD/1.5 67 EX_NOUSER\": the other hosts scan instead"},
      {"a=unflagged", "", "FAIL|spamd a:783|PONG, GTUBE scanned, but its answer has no Spam field: check that SPAMDHOSTS names a spamd"},
      // A host that cannot scan: a warning while another host scans, a failure when none does.
      {"a=no message,b=spamd", "", "WARNING|spamd a:783|PONG, GTUBE scanned, but it answered with no message: the other hosts scan instead"},
      {"a=no message", "", "FAIL|spamd a:783|PONG, GTUBE scanned, but it answered with no message: check SPAMDHOSTS and SPAMDTIMEOUT"},
      {"a=down,b=spamd", "", "WARNING|spamd a:783|\n: the other hosts scan instead\nOK|spamd b:783|"},
      {"a=down,b=no pong", "",
       "FAIL|spamd a:783|\nFAIL|spamd b:783|answered \"SPAMD/1.5 76 EX_PROTOCOL\" to PING: check SPAMDHOSTS and SPAMDTIMEOUT"},
      // A pool's scan time: after a host that stalls, the next needs SPAMDTIMEOUT again.
      {"a=spamd,b=spamd", "SCANTIMELIMIT=19|SPAMDTIMEOUT=10|",
       "WARNING|spamd pool|SCANTIMELIMIT (19 s) is less than twice SPAMDTIMEOUT (10 s): after a host that stalls, the next has 9 s, and the "
       "message is left unscanned; set SCANTIMELIMIT to at least 20 or SPAMDTIMEOUT to at most 9"},
      {"a=spamd,b=spamd", "SCANTIMELIMIT=20|SPAMDTIMEOUT=10|", "!spamd pool"},
      {"a=spamd", "SCANTIMELIMIT=1|SPAMDTIMEOUT=10|", "!spamd pool"},
      {"a=spamd,b=spamd", "SCANTIMELIMIT=1|SPAMDTIMEOUT=10|", "after a host that stalls, the next has 0 s, and the message is left unscanned; set "
                                                               "SCANTIMELIMIT to at least 20\n!at most"},
  };
  for (const auto& c : cases) {
    std::map<std::string, std::string> kinds;
    std::string hosts;
    std::istringstream listed(c.hosts);
    for (std::string host; std::getline(listed, host, ',');) {
      kinds[host.substr(0, host.find('='))] = host.substr(host.find('=') + 1);
      hosts += (hosts.empty() ? "" : ",") + host.substr(0, host.find('='));
    }
    const std::string keys = std::string(c.keys) + "SPAMDHOSTS=" + hosts + "|TEMPPATH=C:\\Temp";
    ExpectAmong(Checked(keys,
                        [&](test::MemoryPlatform& platform) {
                          platform.daemons = [&](const std::string& host, std::uint16_t, const std::string& request) {
                            return Daemon(kinds.at(host), request);
                          };
                        }),
                c.lines, c.hosts);
  }
}

// What sacheck finds beside the keys: files that killed programs left, a
// week old, counted where they lie; a connector's name; a configuration in UTF-16.
TEST(Check, WhatLiesInTheFoldersAndTheFilesForm) {
  const std::string keys = "TEMPPATH=C:\\Temp|SPAMASSASSINEXE=C:\\SA\\sa.exe|SPAMASSASSINRULESPATH=C:\\SA\\rules";
  const std::int64_t week_ago = std::time(nullptr) - kRunLeftoverAge - 60;
  const std::string run = "0123456789ABCDEF0123456789ABCDEF", messages = "C:\\Server\\QUEUES\\SMTP\\Inbound\\Messages\\";
  // None in TEMPPATH, two in the queue of SMTP, a young one and a queued message of that form not counted.
  ExpectAmong(Checked(keys, [&](test::MemoryPlatform& platform) {
                platform.fs.Put("C:\\Temp\\" + run + ".TXT", "", week_ago);
                platform.fs.Put(messages + "A.MAI." + run + ".tmp", "", week_ago);
                platform.fs.Put(messages + "B.MAI." + run + ".tmp", "", week_ago);
                platform.fs.Put(messages + "C.MAI." + run + ".tmp", "", std::time(nullptr));
                platform.fs.Put(messages + "D.MAI." + run + ".tmp", "", week_ago);
                platform.fs.Put("C:\\Server\\QUEUES\\SMTP\\Inbound\\D.MAI." + run + ".tmp", "", week_ago);
              }),
              "WARNING|leftovers|2 files that killed programs left, a week old or more (2 in the queue of connector SMTP): "
              "saquarantine purge removes them",
              "leftovers");
  // A queue whose listing is refused is named, and the others still counted.
  ExpectAmong(Checked(keys, [&](test::MemoryPlatform& platform) {
                platform.fs.Put("C:\\Temp\\" + run + ".BAT", "", week_ago);
                platform.fs.unlistable.insert(test::MemoryFileSystem::Key(messages.substr(0, messages.size() - 1)));
              }),
              "WARNING|leftovers|not looked at: C:\\Server\\QUEUES\\SMTP\\Inbound\\Messages: Access is denied.\n"
              "WARNING|leftovers|1 file that killed programs left, a week old or more (1 in TEMPPATH)",
              "unlistable");
  // A connector whose name no section header can hold.
  ExpectAmong(Checked(keys, [&](test::MemoryPlatform& platform) { platform.fs.AddFolder("C:\\Server\\QUEUES\\SMTP[1]\\Inbound\\Messages"); }),
              "WARNING|connector SMTP[1]|its name holds \"[\" or \"]\": no run finds a section [Connector SMTP[1]]", "bracket");
  // A section of a connector that has no queue folder: sacheck knows the connectors.
  ExpectAmong(Checked(keys + "|[Connector Inbund]|QUARANTINE=2", [](test::MemoryPlatform&) {}),
              "WARNING|line 5|[Connector Inbund] names no connector: C:\\Server\\QUEUES has no folder Inbund", "no queue");
  // A UTF-16 file with its byte-order mark: its keys are read, its lines not checked.
  std::string utf16 = "\xFF\xFE";
  for (const char c : "[SPAMASSASSIN Plugin Config]\r\nTEMPPATH=C:\\Temp\r\nQUARANTIEN=1\r\n") utf16 += std::string{c, '\0'};
  ExpectAmong(Checked("-", [&](test::MemoryPlatform& platform) { platform.fs.Put("C:\\Program\\spamassassinconfig.ini", utf16); }),
              "OK|TEMPPATH|\"C:\\Temp\" -> C:\\Temp\\\nWARNING|configuration|the file is UTF-16 text: its keys' lines are not checked\n"
              "!QUARANTIEN",
              "UTF-16");
}

}  // namespace
}  // namespace saplugin
