#pragma once

// Real SpamAssassin daemons for the tests, a daemon of the tests' own that
// misbehaves as it is told, and the check of a set-up that scans through one.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <ctime>
#include <thread>
#include <tuple>

#include "e2e/e2e.h"
#include "spamd_answer.h"
#include "store/scan_log.h"

namespace saplugin {

// A port on 127.0.0.1 that nothing listens on at the moment.
inline int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// A real spamd on 127.0.0.1, with the sandbox's rules (made on first use),
// until the object goes.
struct SpamdDaemon {
  explicit SpamdDaemon(const Sandbox& box, const std::string& name = "spamd", const std::vector<std::string>& options = {})
      : port(std::to_string(FreePort())), log(box.folder / name + ".log") {
    chmod(box.folder.path.c_str(), 0755);  // the daemon may read its rules as another user
    if (!Exists(box.folder / "rules/99_offline.cf")) {
      EXPECT_EQ(std::system((SAPLUGIN_SOURCE_DIR "/scripts/make-sa-rules '" + box.folder / "rules'").c_str()), 0);
    }
    std::vector<std::string> words = {"/usr/sbin/spamd", "--listen=127.0.0.1:" + port, "--nouser-config", "--configpath=" + box.folder / "rules",
                                      "--max-children=2", "--syslog=stderr"};
    words.insert(words.end(), options.begin(), options.end());
    pid = StartProcess(words, {}, log);
    const std::string ping = "/usr/bin/spamc -K -d 127.0.0.1 -p " + port + " >/dev/null 2>&1";
    for (int i = 0; i < 300 && std::system(ping.c_str()) != 0; ++i) usleep(100000);
    EXPECT_EQ(std::system(ping.c_str()), 0) << "spamd did not start: " << ReadFile(log);
  }
  ~SpamdDaemon() { kill(pid, SIGTERM), WaitProcess(pid); }
  // The messages it has scanned so far.
  int Scans() const {
    const std::string text = ReadFile(log);
    int count = 0;
    for (std::size_t at = 0; (at = text.find("spamd: result: ", at)) != std::string::npos; ++at) ++count;
    return count;
  }
  std::string port, log;
  int pid = 0;
};

using test::Answer;
// kHam as spamd tags it.
inline std::string TaggedHam() { return "X-Spam-Status: No, score=0.1\r\n" + kHam; }

// A daemon of the tests' own at the address (IPv4 or IPv6) and port (0: a free
// one), for every connection until it goes: it reads the request to its end
// and gives the answer; or, with the answer "never", accepts nothing (the
// system completes the connection all the same); with "stall", accepts and
// then reads nothing. Its ways, words: "early" gives the answer as soon as the
// request's header is in and closes without reading the rest; "hold" keeps
// each connection open after its answer; "trickle" sends every answer one byte
// every 4 seconds, until the peer or the daemon goes; "no-queue" listens with
// a queue of none, so the system drops a call beyond the one it holds. A PING
// is answered with PONG. Counts the connections it served.
struct FakeSpamd {
  explicit FakeSpamd(const std::string& answer, const std::string& ways = "", const std::string& ip = "127.0.0.1", int at = 0)
      : listener(socket(Has(ip, ":") ? AF_INET6 : AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in four{AF_INET, htons(static_cast<std::uint16_t>(at)), {}, {}};
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_port = four.sin_port;
    const bool v6 = Has(ip, ":");
    inet_pton(v6 ? AF_INET6 : AF_INET, ip.c_str(), v6 ? static_cast<void*>(&six.sin6_addr) : &four.sin_addr);
    sockaddr* address = v6 ? reinterpret_cast<sockaddr*>(&six) : reinterpret_cast<sockaddr*>(&four);
    socklen_t length = v6 ? sizeof six : sizeof four;
    listening = bind(listener, address, length) == 0 && listen(listener, Has(ways, "no-queue") ? 0 : 16) == 0;
    EXPECT_TRUE(listening || v6) << ip;  // a machine may have no IPv6 loopback
    getsockname(listener, address, &length);
    port = ntohs(v6 ? six.sin6_port : four.sin_port);
    host = ip + ":" + std::to_string(port);
    if (answer == "never" || !listening) return;
    const bool early = Has(ways, "early"), hold = Has(ways, "hold"), trickle = Has(ways, "trickle");
    server = std::thread([this, answer, early, hold, trickle] {
      for (int connection; (connection = accept(listener, nullptr, nullptr)) >= 0; close(connection)) {
        ++connections;
        if (answer == "stall") {
          stalled.push_back(dup(connection));  // held open, never read, until the daemon goes
          continue;
        }
        char block[65536];
        std::string request;
        for (ssize_t got; (got = recv(connection, block, sizeof block, 0)) > 0;) {
          request.append(block, static_cast<std::size_t>(got));
          if (early && request.find("\r\n\r\n") != std::string::npos) break;
        }
        const std::string reply = request.rfind("PING ", 0) == 0 ? "SPAMD/1.5 0 PONG\r\n" : answer;
        if (!trickle) send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
        for (std::size_t i = 0; trickle && !going && i < reply.size() && send(connection, &reply[i], 1, MSG_NOSIGNAL) == 1; ++i) {
          for (int tick = 0; tick < 40 && !going; ++tick) usleep(100000);
        }
        if (hold) stalled.push_back(dup(connection));
      }
    });
  }
  ~FakeSpamd() {
    going = true;
    shutdown(listener, SHUT_RDWR);
    if (server.joinable()) server.join();
    for (const int connection : stalled) close(connection);
    close(listener);
  }
  int listener, port = 0;
  bool listening = false;
  std::string host;  // ip:port
  std::atomic<int> connections{0};
  std::atomic<bool> going{false};
  std::vector<int> stalled;
  std::thread server;
};

// The entries of the runs but those that say a spamd host failed or scans again.
inline std::vector<std::string> EventsBesideHosts(const Sandbox& box) {
  std::vector<std::string> events;
  for (const std::string& event : box.Events()) {
    if (event.rfind("The spamd host ", 0) != 0) events.push_back(event);
  }
  return events;
}

// Scans a spam and kHam in the box with its configured filter: the spam
// quarantined with the filter's flag in its output, the ham replaced by its
// tagged copy, no entry (but of hosts that failed) and nothing of the runs
// left in TEMPPATH; the scan log has the
// filter's score and the rules that hit, from its folded X-Spam-Status field.
inline void ExpectSpamQuarantinedAndHamTagged(Sandbox& box, const std::string& spam) {
  const RunResult check = box.Run({}, "sacheck");  // the set-up passes sacheck first
  EXPECT_EQ(check.status, 0) << check.output;
  box.Queue("N.MAI", spam);
  box.Queue("H.MAI", kHam);
  EXPECT_EQ(box.Run().status + box.Run({"H.MAI", box.connector}).status, 0);
  EXPECT_EQ(EventsBesideHosts(box), std::vector<std::string>{});
  EXPECT_FALSE(Exists(box.messages + "/N.MAI"));
  for (const auto& entry : std::filesystem::directory_iterator(box.quarantine + "/Messages")) {
    const std::string text = ReadFile(entry.path().string());
    const std::string extension = entry.path().extension();
    EXPECT_TRUE(extension == ".MAI"   ? text == spam
                : extension == ".INF" ? text.find("connector=" + box.connector + "\r\nmessage=N.MAI\r\n") == 0
                                      : text.find("\nX-Spam-Flag: YES") != std::string::npos);
  }
  EXPECT_TRUE(std::regex_search(ReadFile(box.messages + "/H.MAI"), std::regex("X-Spam-Status: No[\\s\\S]*Lunch at: noon\\.")));
  EXPECT_TRUE(RunFilesIn(box.temp).empty());
  const std::vector<std::string> log = box.ScanLogLines();
  ASSERT_EQ(log.size(), 3u);
  const auto spam_line = ParseCsvLine(log[1]), ham_line = ParseCsvLine(log[2]);
  EXPECT_EQ(spam_line[kLogVerdict] + " " + spam_line[kLogOutcome] + " " + ham_line[kLogVerdict] + " " + ham_line[kLogOutcome],
            "spam quarantined clean tagged");
  EXPECT_GE(std::stod(spam_line[kLogScore]), std::stod(spam_line[kLogRequired])) << log[1];
  EXPECT_LT(std::stod(ham_line[kLogScore]), std::stod(ham_line[kLogRequired])) << log[2];
  EXPECT_TRUE(std::regex_match(spam_line[kLogRules] + "," + ham_line[kLogRules], std::regex("[A-Z0-9_]+(,[A-Z0-9_]+){4,}"))) << log[1] << log[2];
}

// sacheck's trial scans go through the pool as a run's do, but change nothing
// that the runs share: no entry and no host's record, its lines alone saying
// what it met. The sick host goes first by the records of answer times written
// before (the good host's is old, which a run would renew). Each row: the sick
// host's answer, the settings and a line of sacheck's ({0}: the sick host's
// port, {1}: the good one's).
inline void ExpectTrialScansChangeNothingTheRunsShare(const Build& build) {
  const std::string flagged = "X-Spam-Flag: YES\r\n" + kSpam;
  const std::string good = Answer(flagged, "Spam: True ; 1000.0 / 5.0\r\n");
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {"SPAMD/1.5 67 EX_NOUSER\r\n", "",
       "OK       trial scan, GTUBE      flagged, by 127.0.0.1:{1}; passed over: 127.0.0.1:{0} answered \"SPAMD/1.5 67 EX_NOUSER\" ("},
      // SCANTIMELIMIT below SPAMDTIMEOUT: the time it really waited, and no record where a run would make one.
      {"stall", "SCANTIMELIMIT=1 SPAMDTIMEOUT=3",
       "FAIL     trial scan, GTUBE      no spamd host scanned it within SCANTIMELIMIT (127.0.0.1:{0} did not answer within 1."}};
  for (const auto& [answer, settings, line] : rows) {
    Sandbox box(build);
    const FakeSpamd sick(answer), daemon(good);
    const std::string ports[] = {std::to_string(sick.port), std::to_string(daemon.port)};
    box.Configure("SPAMDHOSTS=127.0.0.1:" + ports[0] + ",127.0.0.1:" + ports[1] + " " + settings);
    const std::int64_t now = std::time(nullptr);
    const std::map<std::string, std::string> records = {
        {"spamd-127.0.0.1-" + ports[0] + ".time", "measured=" + std::to_string(now) + "\r\nmilliseconds=0\r\n"},
        {"spamd-127.0.0.1-" + ports[1] + ".time", "measured=" + std::to_string(now - 100) + "\r\nmilliseconds=100000\r\n"}};
    for (const auto& [file, text] : records) WriteFile(box.temp + "/" + file, text);
    ExpectLines(box.Run({}, "sacheck").output, line, {{"{0}", ports[0]}, {"{1}", ports[1]}});
    EXPECT_EQ(box.Events(), std::vector<std::string>{}) << answer;
    std::map<std::string, std::string> after;
    for (const std::string& file : FilesIn(box.temp)) after[file] = ReadFile(box.temp + "/" + file);
    EXPECT_EQ(after, records) << answer;
  }
}

}  // namespace saplugin
