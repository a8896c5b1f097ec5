#include "run/spamd_scan.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

#include "config/conversions.h"
#include "config/spamd_hosts.h"
#include "platform/text.h"
#include "run/scan.h"
#include "store/host_health.h"

namespace saplugin {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
// The longest header section of an answer that is read; spamd's is a few lines.
constexpr std::size_t kAnswerHeaderLimit = 64 * 1024;

using Clock = std::chrono::steady_clock;

// The time left before the deadline, or kNoTimeLimit without one.
class Deadline {
 public:
  // No deadline for 0 seconds or less; it starts now.
  explicit Deadline(std::int32_t seconds)
      : limited_(seconds > 0), seconds_(std::max<std::int32_t>(0, seconds)), start_(Clock::now()), end_(start_ + std::chrono::seconds(seconds_)) {}
  // The one of the two that ends first.
  const Deadline& Sooner(const Deadline& other) const {
    return !other.limited_ || (limited_ && end_ <= other.end_) ? *this : other;
  }
  // Rounded up: a wait given the time left ends no sooner than the deadline,
  // so that its end is seen as the deadline's (Passed) on every platform.
  Milliseconds Left(Milliseconds at_most = kNoTimeLimit) const {
    if (!limited_) return at_most;
    const Milliseconds left = std::max<Milliseconds>(0, std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now()).count());
    return at_most == kNoTimeLimit ? left : std::min(left, at_most);
  }
  bool Passed() const { return limited_ && Clock::now() >= end_; }
  Milliseconds Elapsed() const { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count(); }
  std::int32_t Seconds() const { return seconds_; }

 private:
  bool limited_;
  std::int32_t seconds_;
  Clock::time_point start_, end_;
};

Error Refusal(const std::string& text) { return Error(kErrorInvalidArgument, "ScanThroughSpamd", text); }

// What a host said, quoted in a description: its quotes and semicolons
// become others, so that its text cannot close the quote or pass for the
// next host's part of a reason ("; " between them).
std::string QuotedAnswer(const std::string& text, std::size_t most) {
  std::string quoted = "\"";
  for (const char c : text.substr(0, most)) quoted += c == '"' ? '\'' : c == ';' ? ',' : c;
  return quoted + "\"";
}

// Throws Error, naming the host, unless the answer's status line is spamd's
// and says 0 (EX_OK); kErrorSpamdRefused when it is spamd's and says another.
void CheckAnswerStatus(const std::string& answer, const std::string& name) {
  const std::string status = answer.substr(0, answer.find("\r\n"));
  if (status.compare(0, 6, "SPAMD/") != 0) throw Refusal(name + " gave no answer that spamd gives: " + QuotedAnswer(status, 80));
  const std::size_t code = status.find(' ');
  if (code == std::string::npos || status.compare(code, 3, " 0 ") != 0) {
    throw Error(kErrorSpamdRefused, "ScanThroughSpamd", name + " answered " + QuotedAnswer(status, 200));
  }
}

// Reads the answer's header section and what came with it of the body; the
// bytes read past the header are left in body.
SpamdAnswer ReadAnswerHeader(Connection& connection, const std::string& name, const Deadline& deadline, std::string* body) {
  std::string header;
  std::vector<char> block(kBlockSize);
  std::size_t end = std::string::npos;
  while ((end = header.find("\r\n\r\n")) == std::string::npos) {
    // Checked before the next read: a read that ends the header may bring much of the body with it.
    if (header.size() > kAnswerHeaderLimit) throw Refusal(name + " answered with a header of over 64 KB");
    if (deadline.Passed()) throw Refusal(name + " is out of time");
    const std::size_t got = connection.Receive(block.data(), block.size(), deadline.Left());
    if (got == 0) break;
    header.append(block.data(), got);
  }
  const SpamdAnswer answer = ParseSpamdAnswerHeader(header, name);
  *body = header.substr(end + 4);
  return answer;
}

// The most a processed message can hold: the message, wrapped once by
// SpamAssassin's report, and its header fields and report, generously.
std::int64_t LongestAnswer(std::int64_t message) { return 2 * message + (1 << 20); }

// Where a message's body starts (past the empty line that ends its header
// section), found in its bytes as they stream by, block by block.
class BodyStart {
 public:
  void Feed(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size && !found_; ++i, ++offset_) {
      if (data[i] == '\n') {
        found_ = blank_;
        blank_ = true;
      } else if (data[i] != '\r') {
        blank_ = false;
      }
    }
    total_ += static_cast<std::int64_t>(size);
  }
  // The body's bytes of all fed: none for a message without an empty line.
  std::int64_t Body() const { return found_ ? total_ - offset_ : 0; }

 private:
  bool found_ = false;
  bool blank_ = true;  // the line so far holds nothing but a carriage return
  std::int64_t offset_ = 0, total_ = 0;
};

// Differences of a few milliseconds between answer times are the network's
// noise, not the hosts' load.
constexpr double kAnswerTimeNoise = 10;

// Of the hosts in healthy (in a random turn), the first and one other picked
// at random: the one that has lately answered faster goes first, by the odds
// of the other's time against both (a host three times as fast goes first
// three times in four); a host without a figure is an even match. By odds, not
// always the faster: the runs that start together read the same figures and
// would otherwise all go to one host, and a slow host still scans now and
// then, so that its figure tells when it is fast again. Reads two records.
void PutTheFasterFirst(FileSystem& fs, const std::string& folder, const std::vector<SpamdHost>& hosts, std::int64_t now, const Guid& random,
                       std::vector<std::size_t>* healthy) {
  if (healthy->size() < 2) return;
  std::rotate(healthy->begin() + 1, healthy->begin() + 1 + random.data2 % (healthy->size() - 1), healthy->end());
  const auto a = ReadHostAnswerTime(fs, folder, hosts[(*healthy)[0]], now), b = ReadHostAnswerTime(fs, folder, hosts[(*healthy)[1]], now);
  double odds = 0.5;
  if (a && b) {
    const double first = static_cast<double>(a->milliseconds) + kAnswerTimeNoise, second = static_cast<double>(b->milliseconds) + kAnswerTimeNoise;
    odds = second / (first + second);
  }
  const std::uint32_t coin = static_cast<std::uint32_t>(random.data4[1]) << 24 | static_cast<std::uint32_t>(random.data4[2]) << 16 |
                             static_cast<std::uint32_t>(random.data4[3]) << 8 | random.data4[4];
  if (coin / 4294967296.0 >= odds) std::swap((*healthy)[0], (*healthy)[1]);
}

// One exchange with one host: the message out, the processed message into
// the output, within the host's own deadline (own) and the whole scan's.
// Throws Error, with a description that names the host, for every way the
// host can fail; *host_failed says whether the failure is the host's (false
// for a wait that the scan's end cut short, as JudgeHostWait decides). A
// failure of this machine's own (the message cannot be read, the output
// cannot be written) is no host's: its description goes into
// *local_failure, the connection is closed unanswered, and the error is
// thrown on.
SpamdAnswer Exchange(Platform& platform, FileSystem& fs, const SpamdHost& host, const std::string& message_file, TextWriter& output,
                     const Deadline& scan, const Deadline& own, std::string* local_failure, bool* host_failed) {
  const std::string name = SpamdHostName(host);
  const Deadline& deadline = scan.Sooner(own);
  *host_failed = true;
  const auto local = [&](const auto& step) {
    try {
      return step();
    } catch (const Error& error) {
      *local_failure = error.Description();
      throw;
    }
  };
  const char* stage = "accept the connection";
  try {
    const std::int64_t size = local([&] { return fs.FileSize(message_file); });
    auto reader = local([&] { return fs.OpenTextFileForReading(message_file); });
    auto connection = platform.Connect(host.host, host.port, deadline.Left(kSpamdConnectTimeout));
    stage = "take the message";
    const std::string request = "PROCESS SPAMC/1.5\r\nContent-length: " + std::to_string(size) + "\r\n\r\n";
    std::string body;
    std::vector<char> block(kBlockSize);
    BodyStart sent, processed;
    try {
      connection->Send(request.data(), request.size(), deadline.Left());
      for (std::size_t got; (got = local([&] { return reader->Read(block.data(), block.size()); })) > 0;) {
        sent.Feed(block.data(), got);
        connection->Send(block.data(), got, deadline.Left());
      }
      local([&] { reader->Close(); });
      connection->EndSending();
    } catch (const Error&) {
      // A daemon that refuses the message may answer and close before it has
      // all of it: its answer says more than the failed send.
      if (local_failure->empty()) {
        try {
          ReadAnswerHeader(*connection, name, deadline, &body);
        } catch (const Error& answer) {
          if (answer.Number() == kErrorSpamdRefused) throw;
        }
      }
      throw;
    }
    stage = "answer";
    SpamdAnswer answer = ReadAnswerHeader(*connection, name, deadline, &body);
    const std::int64_t length = answer.length;
    if (length > LongestAnswer(size)) {
      throw Refusal(name + " announced an answer of " + std::to_string(length) + " bytes for a message of " + std::to_string(size) +
                    ": more than a processed message becomes");
    }
    std::int64_t received = 0;
    for (;;) {
      received += static_cast<std::int64_t>(body.size());
      if (received > length) throw Refusal(name + " sent more than the " + std::to_string(length) + " bytes it announced");
      processed.Feed(body.data(), body.size());
      local([&] { output.Write(body.data(), body.size()); });
      // Whole: a daemon that keeps the connection open has said all.
      if (received == length) break;
      if (deadline.Passed()) throw Refusal(name + " is out of time");
      const std::size_t got = connection->Receive(block.data(), block.size(), deadline.Left());
      if (got == 0) break;
      body.assign(block.data(), got);
    }
    if (received != length) {
      throw Refusal(name + " cut its answer short after " + std::to_string(received) + " of " + std::to_string(length) + " bytes");
    }
    answer.sent_body = sent.Body();
    answer.answer_body = processed.Body();
    return answer;
  } catch (const Error&) {
    // Out of time: the host's own, or the whole scan's while it waited on this host.
    if (local_failure->empty() && deadline.Passed()) {
      const WaitVerdict verdict = JudgeHostWait({name, stage, scan.Passed(), own.Elapsed(), scan.Elapsed(), own.Seconds(), scan.Seconds()});
      *host_failed = verdict.host_failed;
      throw Refusal(verdict.what);
    }
    throw;
  }
}

}  // namespace

bool AnswerKeepsTheBody(std::int64_t sent_body, std::int64_t answer_body) { return answer_body >= sent_body - sent_body / 8; }

WaitVerdict JudgeHostWait(const HostWait& wait) {
  if (!wait.scan_limit) return {wait.name + " did not " + wait.stage + " within " + SecondsText(wait.spamd_timeout) + " (SPAMDTIMEOUT)", true};
  // A host that had only what a slow host before it left says little of itself.
  const bool failed = 2 * wait.waited >= wait.scan_took;
  char waited[32];
  std::snprintf(waited, sizeof waited, "%.1f", static_cast<double>(std::max<Milliseconds>(0, wait.waited)) / 1000);
  return {wait.name + " did not " + wait.stage + " within " + waited + " seconds, when SCANTIMELIMIT (" + std::to_string(wait.scan_time_limit) +
              " s) ran out" + (failed ? "" : " (the hosts before it took the rest)"),
          failed};
}

SpamdAnswer ParseSpamdAnswerHeader(const std::string& text, const std::string& name) {
  const std::size_t end = text.find("\r\n\r\n");
  CheckAnswerStatus(text, name);
  if (end == std::string::npos) throw Refusal(name + " ended its answer within the header");
  SpamdAnswer answer;
  bool length = false;
  std::size_t line = text.find("\r\n");
  while (line < end) {
    const std::size_t next = text.find("\r\n", line + 2);
    const std::string field = text.substr(line + 2, next - line - 2);
    if (StartsWithIgnoringCase(field, "Content-length:")) {
      if (length) throw Refusal(name + " announced two Content-length fields");
      const std::size_t start = field.find_first_not_of(' ', 15);
      if (const std::optional<std::int64_t> digits = ReadDigits(start == std::string::npos ? "" : field.substr(start), 15)) {
        answer.length = *digits;
        length = true;
      }
    } else if (StartsWithIgnoringCase(field, "Spam:")) {
      // "Spam: True ; 7.1 / 5.0"
      std::string value = field.substr(5);
      value.erase(0, value.find_first_not_of(' '));
      const std::string word = value.substr(0, value.find_first_of(" ;"));
      // The whole word: "Trueish" or "Nope" is no verdict.
      const auto is = [&word](const std::string& verdict) { return word.size() == verdict.size() && StartsWithIgnoringCase(word, verdict); };
      const bool yes = is("True") || is("Yes");
      const bool no = is("False") || is("No");
      if (yes || no) answer.spam = yes;
      const std::size_t semicolon = value.find(';'), slash = value.find('/');
      const auto number = [](std::string text) {
        text = Trim(text, " ");
        return ReadDecimal(text, {9, 9}) ? text : std::string();
      };
      if (semicolon != std::string::npos && slash != std::string::npos && slash > semicolon) {
        answer.score = number(value.substr(semicolon + 1, slash - semicolon - 1));
        answer.required = number(value.substr(slash + 1));
      }
    }
    line = next;
  }
  if (!length) throw Refusal(name + " announced no Content-length");
  return answer;
}

bool TellSpamd(Platform& platform, FileSystem& fs, const SpamdHost& host, const std::string& message_file, bool spam,
               std::int32_t seconds) {
  const Deadline deadline(seconds);
  const std::string name = SpamdHostName(host);
  const std::int64_t size = fs.FileSize(message_file);
  auto reader = fs.OpenTextFileForReading(message_file);
  auto connection = platform.Connect(host.host, host.port, deadline.Left(kSpamdConnectTimeout));
  const std::string request = std::string("TELL SPAMC/1.5\r\nMessage-class: ") + (spam ? "spam" : "ham") +
                              "\r\nSet: local\r\nContent-length: " + std::to_string(size) + "\r\n\r\n";
  std::string answer;
  std::vector<char> block(kBlockSize);
  try {
    connection->Send(request.data(), request.size(), deadline.Left());
    for (std::size_t got; (got = reader->Read(block.data(), block.size())) > 0;) connection->Send(block.data(), got, deadline.Left());
    connection->EndSending();
  } catch (const Error&) {
    // A daemon that refuses TELL answers and closes before it has the message.
  }
  for (std::size_t got; answer.size() < kAnswerHeaderLimit && (got = connection->Receive(block.data(), block.size(), deadline.Left())) > 0;) {
    answer.append(block.data(), got);
  }
  const std::string status = answer.substr(0, answer.find("\r\n"));
  if (status.find("TELL commands are not enabled") != std::string::npos) {
    throw Refusal(name + " does not take TELL: start its spamd with --allow-tell (it answered " + QuotedAnswer(status, 200) + ")");
  }
  CheckAnswerStatus(answer, name);
  const std::string header = answer.substr(0, answer.find("\r\n\r\n"));
  for (std::size_t line = header.find("\r\n"); line != std::string::npos; line = header.find("\r\n", line + 2)) {
    if (StartsWithIgnoringCase(header.substr(line + 2), "DidSet:")) return true;
  }
  return false;
}

namespace {

// Asks the host whether its spamd is up (PING) before the deadline; answers
// how long its PONG took. A host that sends its answer slowly gets no more
// time for it.
Milliseconds Ping(Platform& platform, const SpamdHost& host, const Deadline& deadline, std::int32_t seconds) {
  const auto start = Clock::now();
  const std::string name = SpamdHostName(host), ping = "PING SPAMC/1.5\r\n\r\n";
  std::string answer;
  try {
    auto connection = platform.Connect(host.host, host.port, deadline.Left(kSpamdConnectTimeout));
    connection->Send(ping.data(), ping.size(), deadline.Left());
    connection->EndSending();
    char block[256];
    // The status line is the whole answer.
    while (answer.find("\r\n") == std::string::npos && answer.size() < 1024) {
      if (deadline.Passed()) throw Refusal(name + " is out of time");
      const std::size_t got = connection->Receive(block, sizeof block, deadline.Left());
      if (got == 0) break;
      answer.append(block, got);
    }
  } catch (const Error&) {
    if (deadline.Passed()) throw Refusal(name + " did not answer PING within " + SecondsText(seconds) + " (SPAMDTIMEOUT)");
    throw;
  }
  answer = answer.substr(0, answer.find("\r\n"));
  if (answer.compare(0, 6, "SPAMD/") != 0 || answer.find(" 0 PONG") == std::string::npos) {
    throw Refusal(name + " answered " + QuotedAnswer(answer, 80) + " to PING");
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

SpamdAnswer ScanThroughHost(Platform& platform, FileSystem& fs, const SpamdHost& host, const std::string& message_file,
                            TextWriter& output, std::int32_t seconds, Milliseconds* ping) {
  const Deadline deadline(seconds);
  const Milliseconds pong = Ping(platform, host, deadline, seconds);
  if (ping != nullptr) *ping = pong;
  std::string local_failure;
  bool host_failed = true;
  return Exchange(platform, fs, host, message_file, output, Deadline(0), deadline, &local_failure, &host_failed);
}

SpamdOutcome ScanThroughSpamd(Platform& platform, FileSystem& fs, const PluginOptions& options,
                              const std::string& message_file, const std::string& output_file,
                              std::unique_ptr<TextWriter> output, bool share_records) {
  const Deadline deadline(options.ScanTimeLimit);
  const std::vector<SpamdHost>& hosts = options.SpamdHosts;
  Guid random;
  const std::size_t start = platform.CreateGuid(&random) == 0 ? random.data1 % hosts.size() : 0;
  // What the runs before this one learned: a host that failed within
  // SPAMDRETRYAFTER is asked only after the others. Past that, one run asks
  // it first, to try it again with one message: the run that claims the
  // retry, renewing the record, so that the runs beside it leave it out
  // meanwhile. sacheck's trial claims nothing and asks it first.
  const std::string& records = options.TempPath;
  const std::string passing = "-" + output_file.substr(records.size(), output_file.rfind('.') - records.size()) + ".new";
  const std::int64_t now = std::time(nullptr);
  std::vector<std::size_t> order, healthy, resting;
  std::vector<std::optional<HostFailure>> known(hosts.size());
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const std::size_t host = (start + i) % hosts.size();
    known[host] = ReadHostFailure(fs, records, hosts[host], now);
    if (known[host] && now - known[host]->failed >= options.SpamdRetryAfter) {
      if (!share_records || ClaimHostRetry(fs, records, hosts[host], now, options.SpamdRetryAfter, passing)) {
        order.push_back(host);
        continue;
      }
      // Another run tries it; or its answer has cleared the record meanwhile.
      known[host] = ReadHostFailure(fs, records, hosts[host], now);
    }
    (known[host] ? resting : healthy).push_back(host);
  }
  PutTheFasterFirst(fs, records, hosts, now, random, &healthy);
  order.insert(order.end(), healthy.begin(), healthy.end());
  order.insert(order.end(), resting.begin(), resting.end());
  SpamdOutcome outcome;
  std::vector<std::string> warnings;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const SpamdHost& host = hosts[order[i]];
    const std::optional<HostFailure>& before = known[order[i]];
    if (i > 0) {
      // What the last host wrote goes; the next starts on an empty file.
      output.reset();
      fs.DeleteFile(output_file);
      output = fs.CreateNewTextFile(output_file);
      if (!output) throw Refusal("Could not make " + output_file + " anew");
    }
    bool host_failed = true;
    try {
      const auto asked = Clock::now();
      const SpamdAnswer answer =
          Exchange(platform, fs, host, message_file, *output, deadline, Deadline(options.SpamdTimeout), &outcome.local_failure, &host_failed);
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
      try {
        output->Close();
      } catch (const Error& error) {
        outcome.local_failure = error.Description();
        break;
      }
      // An answer that is no message, or not this one, is the host's fault, not the message's.
      if (ReadVerdict(fs, output_file) == Verdict::kNoMessage) throw Refusal(SpamdHostName(host) + " answered with no message");
      if (!AnswerKeepsTheBody(answer.sent_body, answer.answer_body)) {
        throw Refusal(SpamdHostName(host) + " answered with a body of " + std::to_string(answer.answer_body) + " bytes for the message's " +
                      std::to_string(answer.sent_body) + ": not the message");
      }
      outcome.scanned = true;
      outcome.spam = answer.spam;
      outcome.score = answer.score;
      outcome.required = answer.required;
      outcome.host = SpamdHostName(host);
      if (before) {
        if (share_records) ForgetHostFailure(fs, records, host);
        platform.LogEvent(EventLevel::kInformation, "The spamd host " + SpamdHostName(host) + " scans again; it had failed: " + before->what);
      }
      // Hosts that failed for the first time, while another scanned the message.
      for (const std::string& warning : warnings) platform.LogEvent(EventLevel::kWarning, warning);
      // How long it took, for the next runs' choice: one write at most.
      try {
        if (share_records) RecordHostAnswerTime(fs, records, host, now, AnswerTimePerMessage(took, fs.FileSize(message_file)), random.data4[5], passing);
      } catch (const Error&) {
        // The message gone meanwhile: the figure is no knowledge to keep, and scanning went well.
      }
      return outcome;
    } catch (const Error& error) {
      // Another host would meet the same local failure: the scan ends here,
      // and it is no host's fault.
      if (!outcome.local_failure.empty()) break;
      outcome.failures += (outcome.failures.empty() ? "" : "; ") + error.Description();
      // Named once, by the run that records it first; when no host scans the
      // message, the run's Error entry names them all instead. Dated now, not
      // by the run's start: a stalled host failed SPAMDTIMEOUT after that,
      // and SPAMDRETRYAFTER counts from its failure.
      if (share_records && host_failed && RecordHostFailure(fs, records, host, {std::time(nullptr), error.Description()}, passing) &&
          !before) {
        warnings.push_back("The spamd host " + SpamdHostName(host) + " failed, and the next runs ask it only after the other hosts for " +
                           SecondsText(options.SpamdRetryAfter) + " (SPAMDRETRYAFTER): " + error.Description());
      }
    }
    if (deadline.Passed()) {
      outcome.timed_out = true;
      break;
    }
  }
  output.reset();
  if (fs.FileExists(output_file)) fs.DeleteFile(output_file);
  return outcome;
}

}  // namespace saplugin
