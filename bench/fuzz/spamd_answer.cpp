// The whole answer path of a scan through spamd, through the real code: the
// status line, the header fields, Spam's verdict and numbers, Content-length
// against the body, and the check that the body is a message.
//
// The daemon is this process and the connection a real loopback TCP one that
// the real platform makes: Connect is passed on, the connection accepted at
// once and given the whole answer, and its sending half closed. So one thread
// serves it and no input ever waits for a time limit; closing the daemon's
// end with the message unread resets the connection, so that no TIME_WAIT
// piles up. The files live in /dev/shm, where the sync of the host's failure
// record (made on every refusal) costs nothing. A scan costs about one
// connection and a dozen file operations: several thousand inputs a second,
// where a daemon thread per input, or files on a disk, would cost many times that.

#include "spamd_answer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "platform/forwarding_platform.h"
#include "platform/posix/scoped_fd.h"
#include "platform/text.h"
#include "run/spamd_scan.h"
#include "store/host_health.h"

namespace saplugin {

namespace {

// The harness's message, whose body a processed copy keeps.
const char kMessage[] = "From: a@example.com\r\nSubject: fuzz\r\n\r\nbody\r\n";

[[noreturn]] void Broken(const std::string& rule) {
  std::fprintf(stderr, "spamd answer: %s\n", rule.c_str());
  std::abort();
}

// The real platform, but Connect also plays the daemon's part, and no event
// is logged.
class AnsweringPlatform : public ForwardingPlatform {
 public:
  explicit AnsweringPlatform(Platform& target)
      : ForwardingPlatform(target), listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener_.Valid() || ::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_.Get(), 4) != 0 || ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      Broken(std::string("no loopback listener: ") + std::strerror(errno));
    }
    port_ = ntohs(address.sin_port);
  }

  std::uint16_t Port() const { return port_; }
  void Serve(const std::string& answer) { answer_ = answer; }
  // Closes the daemon's end once the scan is over.
  void EndScan() { served_.reset(); }

  std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port, Milliseconds timeout) override {
    auto connection = ForwardingPlatform::Connect(host, port, timeout);
    served_.emplace(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!served_->Valid()) Broken(std::string("accept: ") + std::strerror(errno));
    // The answer fits into the socket's buffers: it is sent before the
    // message is read, which the daemon never does.
    for (std::size_t sent = 0; sent < answer_.size();) {
      const ssize_t n = ::send(served_->Get(), answer_.data() + sent, answer_.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno != EINTR) Broken(std::string("send: ") + std::strerror(errno));
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
    if (::shutdown(served_->Get(), SHUT_WR) != 0) Broken(std::string("shutdown: ") + std::strerror(errno));
    return connection;
  }

  void LogEvent(EventLevel, const std::string&) override {}

 private:
  ScopedFd listener_;
  std::uint16_t port_ = 0;
  std::string answer_;
  std::optional<ScopedFd> served_;
};

// One folder for the whole run: a message to send and the TempPath of the scans.
struct Harness {
  Harness() : real(CreatePlatform(1, program)), platform(*real), fs(real->CreateFileSystem()) {
    std::string pattern = (std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/saplugin-fuzz-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) Broken(std::string("mkdtemp: ") + std::strerror(errno));
    folder = pattern;
    options.TempPath = folder + "/temp/";
    std::filesystem::create_directory(options.TempPath);
    message_file = folder + "/N.MAI";
    std::ofstream(message_file, std::ios::binary) << kMessage;
    output_file = options.TempPath + "RUN.MAI";
    host = {"127.0.0.1", platform.Port()};
    options.SpamdHosts = {host};
    options.SpamdTimeout = 10;
    options.ScanTimeLimit = 20;
  }
  ~Harness() { std::filesystem::remove_all(folder); }

  char name[12] = "spamd_fuzz";
  char* program[2] = {name, nullptr};
  std::unique_ptr<Platform> real;
  AnsweringPlatform platform;
  std::unique_ptr<FileSystem> fs;
  std::string folder, message_file, output_file;
  SpamdHost host;
  PluginOptions options;
};

// The answer read apart from the program's own code: its status line, its
// header field lines and its body (what follows the empty line).
struct Answer {
  std::string status, body;
  std::vector<std::string> fields;
  bool ended = false;  // the header section ends
};

Answer Split(const std::string& text) {
  Answer answer;
  const std::size_t end = text.find("\r\n\r\n");
  answer.status = text.substr(0, text.find("\r\n"));
  if (end == std::string::npos) return answer;
  answer.ended = true;
  answer.body = text.substr(end + 4);
  for (std::size_t line = answer.status.size(); line < end;) {
    const std::size_t next = text.find("\r\n", line + 2);
    answer.fields.push_back(text.substr(line + 2, next - line - 2));
    line = next;
  }
  return answer;
}

// The values of the fields of that name (lower case, with its colon), after the blanks.
std::vector<std::string> Values(const Answer& answer, const std::string& name) {
  std::vector<std::string> values;
  for (const std::string& field : answer.fields) {
    if (LowerCase(field.substr(0, name.size())) != name) continue;
    const std::size_t start = field.find_first_not_of(' ', name.size());
    values.push_back(start == std::string::npos ? "" : field.substr(start));
  }
  return values;
}

bool AllOf(const std::string& text, const char* characters) {
  return !text.empty() && text.find_first_not_of(characters) == std::string::npos;
}

// "Name: value", the name printable without blanks.
bool IsFieldLine(const std::string& line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

// The body's first line (without its CR), or its second after an mbox "From " line.
std::string FirstLine(const std::string& body) {
  std::string line = body.substr(0, body.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.compare(0, 5, "From ") == 0 && body.find('\n') != std::string::npos) return FirstLine(body.substr(body.find('\n') + 1));
  return line;
}

// The bytes of a message past the first line that holds nothing but carriage
// returns; none when no line does.
std::size_t BodyBytes(const std::string& message) {
  for (std::size_t line = 0; line < message.size();) {
    const std::size_t end = message.find('\n', line);
    if (end == std::string::npos) break;
    if (message.find_first_not_of('\r', line) >= end) return message.size() - end - 1;
    line = end + 1;
  }
  return 0;
}

// An answer that nothing in it should refuse: "SPAMD/1.x 0 EX_OK", one
// Content-length of plain digits that is the body's length, and a body that
// starts with a short header field and keeps at least 7/8 of the message's body.
bool PlainlyGood(const Answer& answer) {
  const std::size_t dot = answer.status.find('.'), blank = answer.status.find(' ');
  if (!answer.ended || answer.status.compare(0, 6, "SPAMD/") != 0 || dot == std::string::npos || blank == std::string::npos ||
      !AllOf(answer.status.substr(6, dot - 6), "0123456789") || !AllOf(answer.status.substr(dot + 1, blank - dot - 1), "0123456789") ||
      answer.status.substr(blank) != " 0 EX_OK") {
    return false;
  }
  const std::vector<std::string> lengths = Values(answer, "content-length:");
  const std::string line = answer.body.substr(0, answer.body.find('\n'));
  return lengths.size() == 1 && AllOf(lengths[0], "0123456789") && lengths[0].size() < 16 &&
         std::stoull(lengths[0]) == answer.body.size() && line.compare(0, 5, "From ") != 0 && line.size() < 500 && IsFieldLine(line) &&
         8 * BodyBytes(answer.body) >= 7 * BodyBytes(kMessage);
}

// The word of a Spam field's value, as spamd writes it: "True ; 7.1 / 5.0".
std::string SpamWord(const std::string& value) { return LowerCase(value.substr(0, value.find_first_of(" ;"))); }

void Check(const std::string& text, const SpamdOutcome& outcome, Harness& h) {
  const Answer answer = Split(text);
  const std::string record = HostRecordFile(h.options.TempPath, h.host).substr(h.options.TempPath.size());
  // What the scan left: its output when it kept one, the host's failure
  // record when it refused, perhaps the host's other records, nothing half-made.
  bool output = false, failure = false;
  for (const FileEntry& entry : h.fs->FilesIn(h.options.TempPath)) {
    output = output || entry.name == "RUN.MAI";
    failure = failure || entry.name == record;
    const bool passing = entry.name.size() > 8 && entry.name.compare(entry.name.size() - 8, 8, "-RUN.new") == 0;
    if (entry.name != "RUN.MAI" && (entry.name.compare(0, 6, "spamd-") != 0 || passing)) Broken("a scan left " + entry.name + " behind");
  }
  if (!outcome.local_failure.empty() || outcome.timed_out) Broken("a scan failed on this side: " + outcome.local_failure);
  // The daemon said all it had and closed: nothing is left to wait for
  // ("HOST did not answer within 10 seconds (SPAMDTIMEOUT)").
  const std::string name = "127.0.0.1:" + std::to_string(h.host.port);
  if (outcome.failures.compare(0, name.size() + 9, name + " did not ") == 0) Broken("a whole answer waited out the time: " + outcome.failures);
  if (PlainlyGood(answer) && !outcome.scanned) Broken("a good answer was refused: " + outcome.failures);
  if (!outcome.scanned) {
    if (outcome.spam || !outcome.score.empty() || !outcome.required.empty()) Broken("a verdict from a refused answer");
    if (outcome.failures.compare(0, name.size() + 1, name + " ") != 0) Broken("a refusal that does not start with the host's name");
    if (output || !failure) Broken("a refusal kept its output, or recorded no failure of the host");
    return;
  }
  if (!output || failure) Broken("an accepted answer's output is gone, or the host's failure recorded");
  std::ifstream file(h.output_file, std::ios::binary);
  const std::string kept((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The daemon sent all of the answer and closed: an accepted body is all of the rest.
  if (!answer.ended || kept != answer.body) Broken("the output file is not the whole body");
  const std::size_t blank = answer.status.find(' ');
  if (answer.status.compare(0, 6, "SPAMD/") != 0 || blank == std::string::npos || answer.status.compare(blank, 3, " 0 ") != 0) {
    Broken("an answer accepted without status 0");
  }
  bool announced = false;
  for (const std::string& length : Values(answer, "content-length:")) {
    announced = announced || (AllOf(length, "0123456789") && length.size() < 16 && std::stoull(length) == kept.size());
  }
  if (!announced) Broken("the output file does not hold the announced Content-length bytes");
  if (!IsFieldLine(FirstLine(kept))) Broken("an answer accepted whose body is no message");
  // The verdict: the last Spam field whose word is one.
  std::optional<bool> spam;
  for (const std::string& value : Values(answer, "spam:")) {
    const std::string word = SpamWord(value);
    if (word == "true" || word == "yes" || word == "false" || word == "no") spam = word == "true" || word == "yes";
  }
  if (outcome.spam != spam) Broken("the verdict is not the Spam field's word");
  for (const std::string* number : {&outcome.score, &outcome.required}) {
    if (number->empty()) continue;
    if (!AllOf(*number, "-.0123456789") || number->size() > 16) Broken("a score that is no number");
    bool found = false;
    for (const std::string& value : Values(answer, "spam:")) found = found || value.find(*number) != std::string::npos;
    if (!found) Broken("a score that no Spam field holds");
  }
}

}  // namespace

void FuzzSpamdAnswer(const std::string& answer) {
  static Harness h;
  h.platform.Serve(answer);
  auto output = h.fs->CreateNewTextFile(h.output_file);
  if (!output) Broken("the last scan's output file is still there");
  const SpamdOutcome outcome = ScanThroughSpamd(h.platform, *h.fs, h.options, h.message_file, h.output_file, std::move(output));
  h.platform.EndScan();
  Check(answer, outcome, h);
  // The next input starts afresh: no output, and no records of the host.
  for (const FileEntry& entry : h.fs->FilesIn(h.options.TempPath)) h.fs->DeleteFile(h.options.TempPath + entry.name);
}

}  // namespace saplugin
