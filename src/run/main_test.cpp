#include "run/main.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "memory_platform.h"
#include "messages.h"
#include "spamd_answer.h"
#include "store/scan_log.h"

namespace saplugin {
namespace {

const std::string kQueue = "C:\\Server\\QUEUES\\SMTP\\Inbound\\";

using test::Answer;

// The memory platform with GUIDs of random bits, from a fixed seed: a run
// picks its first host and weighs answer times by them.
struct RandomGuids : test::MemoryPlatform {
  long CreateGuid(Guid* guid) override {
    *guid = Guid{static_cast<std::uint32_t>(random()), static_cast<std::uint16_t>(random()), 0x4000, {}};
    for (auto& byte : guid->data4) byte = static_cast<std::uint8_t>(random());
    return 0;
  }
  std::mt19937 random{20261209};
};

// A set-up in memory for whole runs of saplugin on the connector SMTP: the
// main section's keys ("|" for a line break) over TEMPPATH C:\Temp, the
// quarantine C:\Q and the scan log in C:\Logs (which holds the file x.txt), then more of the file's text
// (sections); the spamd hosts answer by the function given each, and count
// the connections they served. No process runs: a run that asks for the
// filter finds none.
struct MemoryRuns {
  MemoryRuns(const std::string& keys, const std::string& sections = "") {
    platform.command_line = "N.MAI SMTP";
    platform.data_directory = "C:\\Server";
    for (const char* folder : {"C:\\Temp", "C:\\Q", "C:\\Logs", "C:\\Server\\QUEUES\\SMTP\\Inbound\\Messages"}) platform.fs.AddFolder(folder);
    platform.fs.Put("C:\\Logs\\x.txt", "a file, no folder");
    // A run takes a key's first line: the row's keys come first.
    platform.PutConfiguration("[SPAMASSASSIN Plugin Config]|" + keys + "|QUARANTINE=1|QUARANTINEPATH=C:\\Q|SCANLOGPATH=C:\\Logs|"
                              "TEMPPATH=C:\\Temp|SPAMASSASSINEXE=C:\\SA\\sa.exe|" + sections);
    platform.daemons = [this](const std::string& host, std::uint16_t, const std::string& request) {
      ++asked[host];
      return hosts.at(host)(request);
    };
  }
  // Queues N.MAI and runs: the exit status (2 for an error that escapes the
  // run, as the program's entry gives it).
  int Run(const std::string& message) {
    platform.fs.Put(kQueue + "N.MAI", "pickup of N.MAI\r\n");
    platform.fs.Put(kQueue + "Messages\\N.MAI", message);
    platform.events.clear();
    try {
      return Main(platform);
    } catch (const Error&) {
      return kExitConfiguration;
    }
  }
  // What became of the message: "left" as it came, "tagged" (the copy in its
  // place; "tagged, flag on top" when its first line is the flag), "deleted",
  // or "quarantined" whole.
  std::string Fate(const std::string& message) const {
    const std::string now = platform.fs.Bytes(kQueue + "Messages\\N.MAI"), pickup = platform.fs.Bytes(kQueue + "N.MAI");
    if (pickup == "(none)" && now == "(none)") {
      for (const auto& [key, file] : platform.fs.files) {
        if (key.rfind("c:\\q\\messages\\", 0) == 0 && key.substr(key.size() - 4) == ".mai") return file.bytes == message ? "quarantined" : "quarantined, changed";
      }
      return "deleted";
    }
    if (pickup == "(none)") return "pickup gone";
    if (now == message) return "left";
    return now.rfind("X-Spam-Flag: YES\r\n", 0) == 0 ? "tagged, flag on top" : "tagged";
  }
  // The fields of the scan log's last line (none when it has no line).
  std::vector<std::string> Logged() const {
    for (const auto& [key, file] : platform.fs.files) {
      if (key.rfind("c:\\logs\\saplugin-", 0) != 0) continue;
      const std::string& text = file.bytes;
      const std::size_t end = text.rfind("\r\n"), start = text.rfind("\r\n", end - 1);
      return start == std::string::npos ? std::vector<std::string>{} : ParseCsvLine(text.substr(start + 2, end - start - 2));
    }
    return {};
  }
  std::string Entries() const {
    std::string text;
    for (const auto& entry : platform.events) text += entry.text + "\n";
    return text;
  }
  // The names of the files in TEMPPATH.
  std::string Temp() const {
    std::string names;
    for (const auto& [key, file] : platform.fs.files) {
      if (key.rfind("c:\\temp\\", 0) == 0) names += (names.empty() ? "" : " ") + file.path.substr(8);
    }
    return names;
  }
  RandomGuids platform;
  std::map<std::string, std::function<std::string(const std::string&)>> hosts;
  std::map<std::string, int> asked;
};

// A host that gives one answer to every scan, or refuses every connection
// ("down"); a request that is not the whole message, announced with its
// length, it answers as spamd does.
std::function<std::string(const std::string&)> Gives(const std::string& answer) {
  return [answer](const std::string& request) -> std::string {
    if (answer == "down") throw Error(10061, "memory", "Could not connect: the connection was refused");
    const std::size_t body = request.find("\r\n\r\n") + 4;
    const std::string head = "PROCESS SPAMC/1.5\r\nContent-length: " + std::to_string(request.size() - body) + "\r\n\r\n";
    return request.compare(0, body, head) == 0 && request.compare(body, 6, "From: ") == 0 ? answer : "SPAMD/1.5 76 EX_PROTOCOL Bad header line\r\n";
  };
}

// What one run makes of a message by the policy and by what spamd host a
// answers: the main section's keys, a connector section's, the message, the
// answer; what becomes of the message, the scan log's verdict, outcome and
// score (their start), the start of its reason, the status, and the start of
// the run's one entry (empty: none). {a}: host a's answer, as the message.
TEST(Run, DecidesByThePolicyAndTheDaemonsAnswer) {
  const std::string head = "X-Spam-Flag: YES\r\n" + kSpam.substr(0, kSpam.find("\r\n\r\n") + 4);
  const std::string whole = "X-Spam-Status: No, score=0.1\r\n" + kHam + std::string(300000, 'w');
  const std::string flagged = Answer("X-Spam-Flag: YES\r\nX-Spam-Status: Yes, score=1000.0\r\n" + kSpam, "Spam: True ; 1000.0 / 5.0\r\n");
  const std::string scored = Answer("X-Spam-Status: No, score=7.0 required=5.0\r\n" + kHam, "Spam: False ; 7.0 / 5.0\r\n");
  const std::string six = Answer("X-Spam-Status: No, score=6.0 required=5.0\r\n" + kHam, "Spam: False ; 6.0 / 5.0\r\n");
  const std::string no_host = "No spamd host scanned the message, which was left unscanned: ";
  const struct {
    std::string keys, section, message, answer, fate, logged, reason;
    int status;
    std::string entry;
  } cases[] = {
      // Spam by its score alone, tagged: the copy says so on top, for the recipients' junk rules.
      {"SPAMSCORE=6.5|QUARANTINE=0", "", kHam, scored, "tagged, flag on top", "spam tagged 7.0 5.0", "", 0, ""},
      {"", "", kSpam, flagged, "quarantined", "spam quarantined 1000.0 5.0", "", 0, ""},
      // Test mode: scanned and decided, logged in words of its own, the message left as it came.
      {"TESTMODE=1|QUARANTINE=2", "", kSpam, flagged, "left", "spam would-delete 1000.0 5.0", "", 0, ""},
      // The connector's section over the main one's; "none" takes the main section's key away.
      {"", "[Connector SMTP]|QUARANTINE=2", kSpam, flagged, "deleted", "spam deleted 1000.0 5.0", "", 0, ""},
      {"", "[Connector SMTP]|BYPASS=1", kSpam, flagged, "left", " bypassed ", "", 0, ""},
      {"SPAMSCORE=5|QUARANTINE=2", "[Connector SMTP]|SPAMSCORE=none", kHam, six, "tagged", "clean tagged 6.0 5.0", "", 0, ""},
      // Without the pool the run starts the filter, and there is no process to start here.
      {"", "[Connector SMTP]|SPAMDHOSTS=None", kSpam, flagged, "left", " trap ", "no processes here", 1,
       "Could not process pickup event for Connector: no processes here"},
      {"SPAMDHOSTS=", "[Connector SMTP]|SPAMDHOSTS=a", kSpam, "down", "left", " no-message ", "Could not connect", 3, no_host},
      {"SPAMDHOSTS=", "[Connector SMTP]|SPAMDHOSTS=" + std::string(32768, 'h'), kSpam, flagged, "left", "", "", 2,
       "Can't run SpamAssassin because of a setting in the plugin config file: Overflow: [Connector SMTP] SPAMDHOSTS is longer"},
      // Without QUARANTINE flagged messages are tagged; without QUARANTINEPATH too, and the run says so.
      {"QUARANTINE=", "", kSpam, flagged, "tagged, flag on top", "spam tagged 1000.0 5.0", "", 0, ""},
      {"QUARANTINEPATH=|QUARANTINE=2", "", kSpam, flagged, "tagged, flag on top", "spam tagged 1000.0 5.0", "", 0,
       "Turning off quarantining for SpamAssassin because no path set in config file"},
      {"QUARANTINEPATH=C:\\Logs\\x.txt", "", kSpam, flagged, "left", "", "", 2, "Quantine path is not a valid directory."},
      {"MAXMESSAGESIZE=100", "", kSpam + std::string(100, 'z'), flagged, "left", " too-large ", "", 0, ""},
      // A folder in the mail server's queue stops every run; a log folder through a variable that is not set turns the log off.
      {"QUARANTINEPATH=" + kQueue, "", kSpam, flagged, "left", "", "", 2,
       "Can't run SpamAssassin because of a setting in the plugin config file: QUARANTINEPATH \"C:\\Server\\QUEUES\\SMTP\\Inbound\" lies in the "
       "mail server's queue folder C:\\Server\\QUEUES"},
      {"SCANLOGPATH=%SAPLUGIN_UNSET%\\logs", "", kSpam, flagged, "quarantined", "-", "", 0,
       "The scan log is off for this run: SCANLOGPATH \"%SAPLUGIN_UNSET%\\logs\" names the environment variable SAPLUGIN_UNSET, which is not set"},
      // spamd's own verdict counts where the flag line is gone (clear_headers), with its score.
      {"", "", kSpam, Answer("X-Spam-Status: Yes\r\n" + kSpam, "Spam: True ; 1003.0 / 5.0\r\n"), "quarantined", "spam quarantined 1003.0 5.0", "", 0, ""},
      // A whole answer of many blocks is the message; every other answer leaves the message, the host named.
      {"QUARANTINE=0", "", kHam, Answer(whole, "Spam: False ; 0.1 / 5.0\r\n"), "tagged", "clean tagged 0.1 5.0", "", 0, ""},
      {"", "", kSpam, "SPAMD/1.5 0 EX_OK\r\nContent-length: 5000\r\n\r\n" + std::string(100, 'x'), "left", " no-message ",
       "a:783 cut its answer short after 100 of 5000 bytes", 3, no_host},
      {"", "", kSpam, "SPAMD/1.5 0 EX_OK\r\nContent-length: 10\r\n\r\n" + std::string(11, 'x'), "left", " no-message ",
       "a:783 sent more than the 10 bytes it announced", 3, no_host},
      {"", "", kSpam, "SPAMD/1.5 0 EX_OK\r\nContent-length:\r\n\r\nX: y\r\n\r\nbody", "left", " no-message ", "a:783 announced no Content-length", 3, no_host},
      {"", "", kSpam, "SPAMD/1.5 76 EX_PROTOCOL Bad header line\r\n", "left", " no-message ",
       "a:783 answered \"SPAMD/1.5 76 EX_PROTOCOL Bad header line\"", 3, no_host},
      // An answer longer than the message can become is refused before anything of it is kept.
      {"", "", kSpam, "SPAMD/1.5 0 EX_OK\r\nContent-length: 999999999999\r\n\r\n" + std::string(100000, 'x'), "left", " no-message ",
       "a:783 announced an answer of 999999999999 bytes for a message of", 3, no_host},
      {"", "", kSpam, "SPAMD/1.5 0 EX_OK\r\nContent-length: 5\r\nContent-length: 5\r\n\r\nX: y\n", "left", " no-message ",
       "a:783 announced two Content-length fields", 3, no_host},
      {"", "", kSpam, "SPAMD/1.5 0 EX_OK\r\nContent-length: 12\r\n\r\nnot a header", "left", " no-message ", "a:783 answered with no message", 3, no_host},
      // The header section alone, flagged, its length right: the body is lost.
      {"", "", kSpam, Answer(head, "Spam: True ; 1000.0 / 5.0\r\n"), "left", " no-message ",
       "a:783 answered with a body of 0 bytes for the message's 79: not the message", 3, no_host},
  };
  for (const auto& c : cases) {
    MemoryRuns runs(c.keys + "|SPAMDHOSTS=a", c.section);
    runs.hosts["a"] = Gives(c.answer);
    const std::string row = c.keys + " " + c.section.substr(0, 60) + " " + c.answer.substr(0, 60);
    EXPECT_EQ(runs.Run(c.message), c.status) << row << "\n" << runs.Entries();
    EXPECT_EQ(runs.Fate(c.message), c.fate) << row;
    const std::vector<std::string> f = runs.Logged();
    if (c.status == kExitConfiguration || c.logged == "-") {
      EXPECT_TRUE(f.empty()) << row;
    } else if (f.size() != kScanLogColumnCount) {
      ADD_FAILURE() << row << ": no whole scan-log line";
    } else {
      EXPECT_EQ((f[kLogVerdict] + " " + f[kLogOutcome] + " " + f[kLogScore] + " " + f[kLogRequired]).substr(0, c.logged.size()), c.logged) << row;
      EXPECT_EQ(f[kLogReason].substr(0, c.reason.size()), c.reason) << row;
      EXPECT_TRUE(!c.reason.empty() || f[kLogReason].empty()) << row << ": " << f[kLogReason];
      EXPECT_EQ(f[kLogQuarantineFile].empty(), c.fate != "quarantined") << row;
    }
    // One entry, the row's, naming what the scan log's reason says; besides it, the host that
    // failed is named for the runs after it.
    std::vector<std::string> entries;
    for (const auto& entry : runs.platform.events) {
      if (entry.text.rfind("The spamd host ", 0) != 0) entries.push_back(entry.text);
    }
    EXPECT_EQ(entries.size(), c.entry.empty() ? 0u : 1u) << row << "\n" << runs.Entries();
    if (!c.entry.empty() && !entries.empty()) {
      EXPECT_TRUE(entries[0].rfind(c.entry, 0) == 0 && entries[0].find(c.reason) != std::string::npos) << row << "\n" << entries[0];
    }
    // Nothing of the run's own is left; a host's fault, or its answer time, is recorded for the next runs.
    // A trap leaves its batch file, as a killed run's.
    const std::string record = c.status == 2 || c.logged == " bypassed " || c.logged == " too-large " ? "" : c.status == 3 ? "spamd-a-783.down" : "spamd-a-783.time";
    EXPECT_TRUE(c.status == 1 || runs.Temp() == record) << row << ": " << runs.Temp();
  }
}

// A pool whose first host cuts its answer short and closes, or answers with
// the header section alone: the next host's whole answer is the message,
// never a mix or a message without its body. The first host is chosen at
// random; each bad host is met once and passed over by the runs after it,
// and named in the scan log by the run that met it.
TEST(Run, AnAnswerCutShortGivesWayToTheNextHostsWholeAnswer) {
  MemoryRuns runs("SPAMDHOSTS=cut,junk,good|QUARANTINE=0");
  const std::string whole = "X-Spam-Status: No, score=0.1\r\n" + kHam + std::string(100000, 'w'), answer = Answer(whole);
  runs.hosts["cut"] = Gives(answer.substr(0, answer.size() - whole.size() + 70000) + "CUT");
  runs.hosts["junk"] = Gives(Answer(whole.substr(0, whole.find("\r\n\r\n") + 4)));
  runs.hosts["good"] = Gives(answer);
  std::string reasons;
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(runs.Run(kHam), kExitNormal);
    EXPECT_EQ(runs.platform.fs.Bytes(kQueue + "Messages\\N.MAI"), whole);
    const std::vector<std::string> f = runs.Logged();
    ASSERT_EQ(f.size(), kScanLogColumnCount);
    EXPECT_EQ(f[kLogHost], "good:783");
    reasons += f[kLogReason];
  }
  EXPECT_EQ(runs.asked, (std::map<std::string, int>{{"cut", 1}, {"good", 16}, {"junk", 1}}));
  // Each bad host is named once, for the runs after it; nothing of the runs is left but the hosts' records.
  EXPECT_EQ(runs.Entries(), "") << runs.Entries();
  EXPECT_EQ(runs.Temp(), "spamd-cut-783.down spamd-good-783.time spamd-junk-783.down");
  EXPECT_TRUE(reasons.find("cut:783 ") != std::string::npos && reasons.find("junk:783 ") != std::string::npos) << reasons;
}

// The runs share what they learn of each host: a host recorded as failed
// within SPAMDRETRYAFTER is left out while another can scan; past it, a run
// asks it again and its answer clears the record; with every host recorded,
// the message is still scanned; a host recorded as slow gets few of the runs.
TEST(Run, TheRunsShareWhatTheyLearnOfEachHost) {
  const std::int64_t now = std::time(nullptr);
  const auto at = [&](std::int64_t seconds) { return std::to_string(now + seconds); };
  const std::string refused = "failed=" + at(-5) + "\r\nwhat=refused\r\n";
  const struct {
    const char* name;
    std::string down_a, down_b, time_a, time_b;  // the records written before 16 runs
    int least, most;                             // of the runs, how many a served
    int downs;                                   // the failure records left
    std::size_t entries;                         // a host that scans again is named once
  } cases[] = {
      {"a recent failure", refused, "", "", "", 0, 0, 1, 0},
      {"a failure past its time", "failed=" + at(-100) + "\r\nwhat=refused\r\n", "", "", "", 1, 16, 0, 1},
      {"every host failed", refused, refused, "", "", 0, 16, 1, 1},
      {"a host recorded slow", "", "", "measured=" + at(-5) + "\r\nmilliseconds=5000\r\n", "measured=" + at(-5) + "\r\nmilliseconds=10\r\n", 0, 2,
       0, 0},
  };
  for (const auto& row : cases) {
    MemoryRuns runs("SPAMDHOSTS=a,b|QUARANTINE=0|SCANLOGPATH=");
    runs.hosts["a"] = runs.hosts["b"] = Gives(Answer("X-Spam-Status: No, score=0.1\r\n" + kHam));
    for (const auto& [file, text] : {std::pair("a-783.down", row.down_a), {"b-783.down", row.down_b}, {"a-783.time", row.time_a}, {"b-783.time", row.time_b}}) {
      if (!text.empty()) runs.platform.fs.Put(std::string("C:\\Temp\\spamd-") + file, text);
    }
    std::size_t entries = 0;
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(runs.Run(kHam), kExitNormal) << row.name;
      for (const auto& entry : runs.platform.events) {
        EXPECT_NE(entry.text.find("scans again; it had failed: refused"), std::string::npos) << entry.text;
        ++entries;
      }
    }
    EXPECT_EQ(runs.asked["a"] + runs.asked["b"], 16) << row.name;
    EXPECT_TRUE(runs.asked["a"] >= row.least && runs.asked["a"] <= row.most) << row.name << ": " << runs.asked["a"];
    EXPECT_EQ(entries, row.entries) << row.name;
    const std::string records = runs.Temp();
    int downs = 0;
    for (std::size_t at = 0; (at = records.find(".down", at)) != std::string::npos; ++at) ++downs;
    EXPECT_EQ(downs, row.downs) << row.name << ": " << records;
  }
}

// A run folds its host's answer time, in milliseconds, into the record: the
// mean of the figure before and its own.
TEST(Run, AScanFoldsItsAnswerTimeIntoTheHostsRecord) {
  MemoryRuns runs("SPAMDHOSTS=a|QUARANTINE=0|SCANLOGPATH=");
  const std::string answer = Answer("X-Spam-Status: No, score=0.1\r\n" + kHam);
  runs.hosts["a"] = [answer](const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    return answer;
  };
  runs.platform.fs.Put("C:\\Temp\\spamd-a-783.time", "measured=" + std::to_string(std::time(nullptr) - 100) + "\r\nmilliseconds=5000\r\n");
  EXPECT_EQ(runs.Run(kHam), kExitNormal);
  const std::string record = runs.platform.fs.Bytes("C:\\Temp\\spamd-a-783.time");
  const long figure = std::stol(record.substr(record.find("milliseconds=") + 13));
  EXPECT_TRUE(figure >= 2515 && figure < 5000) << record;  // 5000 again: the new figure was not taken
}

}  // namespace
}  // namespace saplugin
