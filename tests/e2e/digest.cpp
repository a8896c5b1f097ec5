#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>
#include <thread>

#include "e2e/quarantine.h"
#include "store/release_token.h"
#include "store/scan_log.h"

namespace saplugin {

namespace {

// The SMTP sink (smtp_sink.py) as a process of the test, on a port of its own.
struct SmtpSink {
  SmtpSink(Sandbox& box, const std::vector<std::string>& modes) : folder(box.folder / "received") {
    std::filesystem::create_directories(folder);
    std::vector<std::string> words{"/usr/bin/python3", SAPLUGIN_SOURCE_DIR "/tests/e2e/smtp_sink.py", folder};
    words.insert(words.end(), modes.begin(), modes.end());
    pid = StartProcess(words, {}, box.folder / "sink.err", "", box.folder / "sink.port");
    for (int i = 0; i < 200 && port.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const std::string text = ReadFile(box.folder / "sink.port");
      if (text.find('\n') != std::string::npos) port = text.substr(0, text.find('\n'));
    }
    EXPECT_FALSE(port.empty()) << ReadFile(box.folder / "sink.err");
  }
  ~SmtpSink() {
    kill(pid, SIGKILL);
    WaitProcess(pid);
  }
  // What Python's MIME parser reads in the digests received (digest_check.py).
  std::string Parsed(Sandbox& box) const {
    const std::string out = box.folder / "parsed.txt";
    EXPECT_EQ(WaitProcess(StartProcess({"/usr/bin/python3", SAPLUGIN_SOURCE_DIR "/tests/e2e/digest_check.py", folder}, {}, box.folder / "check.err", "", out)), 0)
        << ReadFile(box.folder / "check.err");
    return ReadFile(out);
  }
  std::string folder, port;
  int pid = -1;
};

// A reply to the quarantine as the server queues it, its run's status, and
// the event-log entry it left.
std::pair<int, std::string> Reply(QuarantineBox& box, const std::string& name, const std::string& to, const std::string& subject) {
  box.Queue(name, "From: jane@example.com\r\nTo: " + to + "\r\nSubject: " + subject + "\r\n\r\nPlease.\r\n");
  const std::size_t before = box.Events().size();
  const int status = box.Run({name, box.connector}).status;
  const std::vector<std::string> events = box.Events();
  return {status, events.size() > before ? events.back() : ""};
}

// The recipients' replies to their digests: a valid token releases its
// message into its queue byte for byte, once, and the reply goes; the same
// token again releases nothing; mail that names a token but is no request is
// mail, and the token stays out of the log.
void ExpectRepliesRelease(QuarantineBox& box, const std::string& parsed) {
  const std::size_t jane = parsed.find("TO jane@example.com"), tokens = parsed.find("TOKENS ", jane);
  std::istringstream words(parsed.substr(tokens + 7, parsed.find('\n', tokens) - tokens - 7));
  std::string d2, d1;
  words >> d2 >> d1;
  ASSERT_EQ(d1.substr(0, 32), box.Id("D1.MAI"));
  const auto [status, entry] = Reply(box, "R1.MAI", "\"Quarantine\" <QUARANTINE@example.com>", "Re: Release " + d1);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(Has(entry, ("Released the quarantined message " + box.Id("D1.MAI") + " into the queue of connector ").c_str()) &&
              Has(entry, ", by jane@example.com through the digest.")) << entry;
  EXPECT_FALSE(Exists(box.messages + "/R1.MAI") || Exists(box.inbound + "/R1.MAI"));
  const auto logged = ParseCsvLine(box.ScanLogLines().back());
  EXPECT_EQ(logged[kLogOutcome] + " | " + logged[kLogReason] + " | " + logged[kLogSubject],
            "release-request | released " + box.Id("D1.MAI") + " for jane@example.com | Re: Release TOKEN");
  // The message itself: its run passes it unscanned, as it arrived.
  EXPECT_EQ(box.Run({"D1.MAI", box.connector}).status, 0);
  EXPECT_EQ(ReadFile(box.messages + "/D1.MAI"), box.originals.at("D1.MAI"));
  EXPECT_EQ(ParseCsvLine(box.ScanLogLines().back())[kLogOutcome], "released");

  // The same token again releases nothing (the unit tables hold the forged and expired ones).
  const auto [refused, warning] = Reply(box, "R2.MAI", "quarantine@example.com", "Release " + d1);
  EXPECT_EQ(refused, 0);
  EXPECT_TRUE(Has(warning, "A release request through the digest released nothing: ") && Has(warning, "which is no longer in the quarantine") &&
              !Has(warning, d1.c_str())) << warning;
  EXPECT_FALSE(Exists(box.messages + "/R2.MAI"));
  // Mail that names a token but is no request (a copy to someone else) is mail; the token stays out of the log.
  box.Queue("R8.MAI", "From: jane@example.com\r\nTo: quarantine@example.com, boss@example.com\r\nSubject: Release " + d2 + "\r\n\r\nPlease.\r\n");
  EXPECT_EQ(box.Run({"R8.MAI", box.connector}).status, 0);
  const auto copied = ParseCsvLine(box.ScanLogLines().back());
  EXPECT_EQ(copied[kLogOutcome] + " | " + copied[kLogSubject], "tagged | Release TOKEN");
  EXPECT_TRUE(Exists(box.messages + "/R8.MAI"));
}

}  // namespace

// Quarantined messages for local recipients (in To or Cc, in any case, in
// groups and with display names), for a recipient elsewhere, and fields
// that carry markup, quotes and encoded words; a server that refuses one
// recipient, stalls on another and closes on a third: the others get their
// digests, whole and parsed without a defect, with a release link each.
void ExpectDigestsReachTheirRecipients(const Build& build) {
  QuarantineBox box(build);
  const std::string gtube = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X\r\n";
  const std::pair<const char*, std::string> messages[] = {
      {"D1.MAI", "From: \"<script>alert(1)</script>\" <evil@spam.test>\r\nTo: \"Doe, Jane\" <Jane@Example.COM>, other@elsewhere.org\r\n"
                 "Cc: team: bob@example.com;\r\nSubject: =?UTF-8?B?" "PGI+Q2Fmw6k8L2I+ICYgIlF1b3RlcyI=" "?=\r\n\r\n" + gtube},
      {"D2.MAI", "From: s@spam.test\r\nTo: jane@example.com\r\nSubject: " + std::string(100000, '.') + "\r\n\r\n" + gtube},
      {"D3.MAI", "From: s@spam.test\r\nTo: refused@example.com, stalled@example.com, closer@example.com\r\nCc: undisclosed-recipients:;\r\n"
                 "Subject: three\r\n\r\n" + gtube},
      {"D4.MAI", "From: s@spam.test\r\nTo: someone@elsewhere.org\r\nSubject: not ours\r\n\r\n" + gtube},
  };
  for (const auto& [name, message] : messages) {
    box.Queue(name, message);
    ASSERT_EQ(box.Run({name, box.connector}).status, 0) << name;
    box.ids[name] = IdOf(box, name);
    box.originals[name] = message;
  }
  // Newest first: D2 before D1. A digest lists none of its own second's messages.
  for (const char* name : {"D1.MAI", "D2.MAI", "D3.MAI", "D4.MAI"}) box.Age(name, std::chrono::hours(std::string(name) == "D1.MAI" ? 24 : 1));
  const SmtpSink sink(box, {"--refuse", "refused@example.com", "--stall", "stalled@example.com", "--close", "closer@example.com"});
  box.Configure("DIGESTSMTP=127.0.0.1:" + sink.port + " DIGESTFROM=Quarantine@example.com DIGESTDOMAINS=example.com,EXAMPLE.net");

  if (!build.wine) {
    const RunResult check = box.Run({}, "sacheck");
    EXPECT_TRUE(std::regex_search(check.output, std::regex("OK +digest server +127\\.0\\.0\\.1:[0-9]+ greets and takes EHLO")) &&
                std::regex_search(check.output, std::regex("OK +site key +.*digest.key is not made yet")))
        << check.output;
  }
  const auto start = std::chrono::steady_clock::now();
  const RunResult run = box.Quarantine({"digest", "--timeout", "2"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(run.status, 8) << run.output << run.standard_error;
  ExpectLines(run.output, "sent to bob@example.com: 1 message\nsent to jane@example.com: 2 messages");
  ExpectLines(run.standard_error, "closer@example.com: the digest could not be sent: \n"
                                  "refused@example.com: the server refused the digest: 550 5.1.1 no such mailbox here\n"
                                  "stalled@example.com: the digest could not be sent: \n"
                                  "digests 2 sent, 1 refused, 2 failed, for 5 recipients of 3 messages; the next digest lists their messages again");
  const std::vector<std::string> events = box.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_TRUE(Has(events.back(), "Sent the quarantine digests through 127.0.0.1:")) << events.back();

  const std::string parts = "PARTS multipart/alternative text/plain text/html\n";
  ExpectLines(sink.Parsed(box), "TO bob@example.com\nSUBJECT Quarantined mail: 1 message held for you\nDEFECTS 0\n" + parts +
                                    "IDS " + box.Id("D1.MAI") + "\nLINKS True\nMARKUP \nSUBJECTS <b>Caf\xC3\xA9</b> & \"Quotes\"\n\n"
                                    "TO jane@example.com\nSUBJECT Quarantined mail: 2 messages held for you\nDEFECTS 0\n" + parts +
                                    "IDS " + box.Id("D2.MAI") + " " + box.Id("D1.MAI") + "\nLINKS True\nMARKUP \nSUBJECTS " + std::string(200, '.') + " | <b>");
  // The subject of dots starts lines of the quoted-printable text: each must arrive whole (dot-stuffed on the way).
  const std::string parsed = sink.Parsed(box);
  for (std::size_t at = 0; (at = parsed.find("LONGEST ", at)) != std::string::npos; at += 8) EXPECT_LE(std::stoi(parsed.substr(at + 8)), 998);
  EXPECT_EQ(FilesIn(sink.folder).size(), 2u);
  if (!build.wine) {
    EXPECT_EQ(std::filesystem::status(box.quarantine + "/digest.key").permissions(), std::filesystem::perms(0600));
  }
  // A failed digest is sent again, to its recipient alone: the others' time moves on.
  EXPECT_TRUE(std::filesystem::exists(box.quarantine + "/digest.last"));
  EXPECT_EQ(ReadFile(box.quarantine + "/digest.retry"), "0 closer@example.com\r\n0 stalled@example.com\r\n");
  // A digest on its way to its recipient passes unscanned, as it came, by its seal; with its body changed, it is scanned.
  const std::string received = ReadFile(sink.folder + "/" + *FilesIn(sink.folder).begin());
  const std::string digest = received.substr(received.find("\r\n") + 2);
  for (const auto& [queued, outcome] : {std::pair{digest, "digest"}, {digest.substr(0, digest.size() - 3) + "x\r\n", "tagged"}}) {
    box.Queue("G.MAI", queued);
    EXPECT_EQ(box.Run({"G.MAI", box.connector}).status, 0);
    EXPECT_EQ(ParseCsvLine(box.ScanLogLines().back())[kLogOutcome], outcome);
    EXPECT_EQ(ReadFile(box.messages + "/G.MAI") == queued, outcome == std::string("digest"));
  }
  ExpectRepliesRelease(box, parsed);
}

namespace {

// J.MAI for the recipients, quarantined an hour ago.
void QuarantineHeld(QuarantineBox& box, const std::string& to) {
  box.Queue("J.MAI", "From: s@spam.test\r\nTo: " + to + "\r\nSubject: held\r\n\r\n" + kSpam);
  EXPECT_EQ(box.Run({"J.MAI", box.connector}).status, 0);
  box.ids["J.MAI"] = IdOf(box, "J.MAI");
  box.Age("J.MAI", std::chrono::hours(1));
}

void ConfigureDigests(QuarantineBox& box, const SmtpSink& sink) {
  box.Configure("DIGESTSMTP=127.0.0.1:" + sink.port + " DIGESTFROM=quarantine@example.com DIGESTDOMAINS=example.com");
}

// Until a digest holds its lock, for two seconds at most.
void WaitForDigestLock(const QuarantineBox& box) {
  for (int i = 0; i < 200 && !Exists(box.quarantine + "/digest.lck"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

// A request started together with saquarantine release of the same message,
// and a request while a digest is being sent to a server that stalls: the
// message reaches its queue once and whole, and the digest goes its way.
void ExpectRequestsRaceReleasesAndDigests() {
  for (int trial = 0; trial < 6; ++trial) {
    const bool during_digest = trial == 5, request_first = trial % 2 == 0;
    const std::string context = (during_digest ? "during a digest " : "with a release ") + std::to_string(trial);
    QuarantineBox box(LinuxBuild());
    QuarantineHeld(box, "jane@example.com");
    const SmtpSink sink(box, {"--stall", "jane@example.com"});
    ConfigureDigests(box, sink);
    WriteFile(box.quarantine + "/digest.key", std::string(64, 'a') + "\r\n");
    std::filesystem::permissions(box.quarantine + "/digest.key", std::filesystem::perms(0600));
    const std::string id = box.Id("A.MAI"), token = MakeReleaseToken(std::string(32, '\xaa'), {id, "jane@example.com", std::time(nullptr) + 86400});
    box.Queue("R.MAI", "From: jane@example.com\r\nTo: quarantine@example.com\r\nSubject: Re: Release " + token + "\r\n\r\nPlease.\r\n");
    const auto start = [&](std::vector<std::string> words, const std::string& program, const std::string& log) {
      words.insert(words.begin(), box.bin + "/" + program);
      return StartProcess(words, box.environment, box.folder / (log + ".err"), box.folder.path, box.folder / (log + ".out"));
    };
    int other = -1, request = -1;
    if (during_digest) {
      other = start({"digest", "--timeout", "3"}, "saquarantine", "other");
      WaitForDigestLock(box);
      request = start({"R.MAI", box.connector}, "saplugin", "request");
    } else {
      // Either starts first.
      if (request_first) request = start({"R.MAI", box.connector}, "saplugin", "request");
      other = start({"release", id}, "saquarantine", "other");
      if (!request_first) request = start({"R.MAI", box.connector}, "saplugin", "request");
    }
    EXPECT_EQ(WaitProcess(request), 0) << context << ReadFile(box.folder / "request.err");
    const int other_status = WaitProcess(other);
    // The request is gone; the message is in its queue once, as it arrived, and out of the quarantine.
    EXPECT_FALSE(Exists(box.messages + "/R.MAI") || Exists(box.inbound + "/R.MAI")) << context;
    EXPECT_EQ(ReadFile(box.messages + "/A.MAI"), box.originals.at("A.MAI")) << context;
    EXPECT_TRUE(Exists(box.inbound + "/A.MAI")) << context;
    EXPECT_FALSE(Exists(box.quarantine + "/Messages/" + id + ".MAI")) << context;
    std::string request_line;
    for (const std::string& line : box.ScanLogLines()) {
      if (ParseCsvLine(line)[kLogMessage] == "R.MAI") request_line = line;
    }
    const std::vector<std::string> logged = ParseCsvLine(request_line);
    // Which of the two released it, the other said so: "released" once, in the log or on the console.
    const bool by_request = logged[kLogReason] == "released " + id + " for jane@example.com";
    const bool by_release = Has(ReadFile(box.folder / "other.out"), ("released " + id + " to ").c_str());
    EXPECT_TRUE(during_digest ? by_request : by_request != by_release) << context << " " << request_line << ReadFile(box.folder / "other.out");
    // A release that found the message gone says so in its status; a digest whose server stalled, in its own.
    EXPECT_EQ(other_status, during_digest ? 8 : by_release ? 0 : 1) << context << ReadFile(box.folder / "other.err");
    EXPECT_EQ(logged[kLogOutcome], "release-request") << context;
    if (during_digest) {
      EXPECT_TRUE(Has(ReadFile(box.folder / "other.err"), "jane@example.com: the digest could not be sent")) << context;
    }
  }
  // A digest killed at some moment of its sending leaves every entry whole and
  // no time of its own, and the next one is not kept out by its lock.
  for (const int after_ms : {0, 150, 400}) {
    QuarantineBox box(LinuxBuild());
    QuarantineHeld(box, "jane@example.com, bob@example.com");
    const SmtpSink sink(box, {"--stall", "jane@example.com"});
    ConfigureDigests(box, sink);
    const int digest = StartProcess({box.bin + "/saquarantine", "digest", "--timeout", "30"}, box.environment, box.folder / "killed.err");
    WaitForDigestLock(box);
    std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
    kill(digest, SIGKILL);
    WaitProcess(digest);
    EXPECT_FALSE(Exists(box.quarantine + "/digest.last")) << after_ms;
    for (const std::string& file : EntryFiles(box, box.Id("J.MAI"))) EXPECT_TRUE(Exists(file)) << after_ms << " " << file;
    const RunResult next = box.Quarantine({"digest", "--timeout", "1"});
    EXPECT_EQ(next.status, 8) << after_ms << next.standard_error;
    EXPECT_TRUE(Has(next.standard_error, "jane@example.com: the digest could not be sent")) << next.standard_error;
  }
}

}  // namespace saplugin
