// safilter: a stand-in for "spamassassin -P -c RULES", for tests and demos.
//
// Reads one message on standard input and writes it to standard output with
// X-Spam-Checker-Version, X-Spam-Flag (only when flagged) and X-Spam-Status
// header lines at the top of its header section. A message that holds the
// GTUBE test string is flagged. When RULES names a file, its lines may ask
// for faults ("#" starts a comment):
//
//   delay SECONDS      wait before writing anything
//   exit STATUS        end with this exit status
//   no-output          write nothing at all
//   cut BYTES          stop writing after this many bytes
//   abort-after BYTES  write this many bytes, then end as a crashed process
//                      (POSIX: abort; Windows: the access-violation status)
//   no-header          write the body only, without any header section
//   flag               flag every message
//   score TEXT         write TEXT as the score ("none": no score at all)
//   stderr TEXT        write the text on standard error
//   no-scan            pass the message straight through with an unflagged
//                      X-Spam-Status line, without looking at it (the
//                      quickest filter, for measuring what surrounds it)
//
// Standing in for spamc too, it acts as if only a daemon on 127.0.0.1 were up:
// given "-d HOST" for another host it writes nothing and fails as spamc -x
// does, and it answers the keep-alive check (-K) without reading a message.
// With SAFILTER_ARGUMENTS naming a file, it writes its arguments there, one a
// line, so that a test sees the words a command line gave it.
//
// Only the standard library is used, so it builds on every platform.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

const char kGtube[] = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";

// Ends the process the way a crash does, as its parent sees it.
[[noreturn]] void Crash() {
#ifdef _WIN32
  // Without a debugger popping up: the exit status is what a crash reports.
  TerminateProcess(GetCurrentProcess(), 0xC0000005);
#endif
  std::abort();
}

struct Faults {
  double delay_seconds = 0;
  int exit_status = 0;
  bool no_output = false;
  long long limit = -1;  // bytes to write at most; -1 for no limit
  bool abort_at_limit = false;
  bool no_header = false;
  bool flag = false;
  bool no_scan = false;
  std::string score;  // empty: the score that goes with the verdict
  std::string standard_error;
};

Faults ReadFaults(const std::string& rules) {
  Faults faults;
  std::ifstream file(rules);
  std::string line;
  while (file && std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "delay") {
      words >> faults.delay_seconds;
    } else if (word == "exit") {
      words >> faults.exit_status;
    } else if (word == "no-output") {
      faults.no_output = true;
    } else if (word == "cut" || word == "abort-after") {
      words >> faults.limit;
      faults.abort_at_limit = word == "abort-after";
    } else if (word == "no-header") {
      faults.no_header = true;
    } else if (word == "flag") {
      faults.flag = true;
    } else if (word == "no-scan") {
      faults.no_scan = true;
    } else if (word == "score") {
      words >> faults.score;
    } else if (word == "stderr") {
      std::getline(words >> std::ws, faults.standard_error);
    }
  }
  return faults;
}

// The message as read, kept in a temporary file so that memory stays small
// whatever its size (in memory where no temporary file can be made).
class Spool {
 public:
  Spool() : file_(std::tmpfile()) {}
  ~Spool() {
    if (file_ != nullptr) std::fclose(file_);
  }
  void Write(const char* data, std::size_t size) {
    if (file_ != nullptr) {
      std::fwrite(data, 1, size, file_);
    } else {
      memory_.append(data, size);
    }
  }
  void Rewind() {
    if (file_ != nullptr) std::rewind(file_);
    position_ = 0;
  }
  std::size_t Read(char* data, std::size_t size) {
    if (file_ != nullptr) return std::fread(data, 1, size, file_);
    const std::size_t count = std::min(size, memory_.size() - position_);
    std::memcpy(data, memory_.data() + position_, count);
    position_ += count;
    return count;
  }

 private:
  std::FILE* file_;
  std::string memory_;
  std::size_t position_ = 0;
};

// Standard output, cut or crashed after the fault's limit.
class Output {
 public:
  explicit Output(const Faults& faults) : faults_(faults) {}
  void Put(const char* data, std::size_t size) {
    if (faults_.limit >= 0 && written_ + static_cast<long long>(size) >= faults_.limit) {
      size = static_cast<std::size_t>(faults_.limit - written_);
      std::fwrite(data, 1, size, stdout);
      written_ += static_cast<long long>(size);
      std::fflush(stdout);
      if (faults_.abort_at_limit) Crash();
      stopped_ = true;
      return;
    }
    if (stopped_) return;
    std::fwrite(data, 1, size, stdout);
    written_ += static_cast<long long>(size);
  }
  void Put(const std::string& text) { Put(text.data(), text.size()); }
  bool Stopped() const { return stopped_; }

 private:
  const Faults& faults_;
  long long written_ = 0;
  bool stopped_ = false;
};

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::string rules, host = "127.0.0.1";
  bool keep_alive_check = false;
  for (int i = 1; i < argc; ++i) {
    keep_alive_check = keep_alive_check || std::strcmp(argv[i], "-K") == 0;
    if (i + 1 < argc && std::strcmp(argv[i], "-c") == 0) rules = argv[i + 1];
    if (i + 1 < argc && std::strcmp(argv[i], "-d") == 0) host = argv[i + 1];
  }
  // The words as this program received them, one a line, for tests of how a command line reaches a filter.
  if (const char* record = std::getenv("SAFILTER_ARGUMENTS")) {
    std::ofstream words(record, std::ios::binary);
    for (int i = 1; i < argc; ++i) words << argv[i] << '\n';
  }
  if (host != "127.0.0.1") return 69;  // spamc's EX_UNAVAILABLE
  if (keep_alive_check) return 0;
  const Faults faults = ReadFaults(rules);
  if (!faults.standard_error.empty()) std::cerr << faults.standard_error << std::endl;
  if (faults.delay_seconds > 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(faults.delay_seconds));
  }

  static char block[1 << 16];
  if (faults.no_scan) {
    std::fputs("X-Spam-Status: No, score=0.0 required=5.0 tests=none\r\n", stdout);
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, stdin)) > 0) std::fwrite(block, 1, got, stdout);
    std::fflush(stdout);
    return faults.exit_status;
  }

  // Spool the message, looking for GTUBE across block boundaries and for the
  // line break that the message uses.
  Spool spool;
  const std::size_t keep = sizeof kGtube - 2;
  std::string window;
  std::string line_break;
  bool gtube = false;
  for (;;) {
    const std::size_t got = std::fread(block, 1, sizeof block, stdin);
    if (got == 0) break;
    spool.Write(block, got);
    window.append(block, got);
    if (line_break.empty()) {
      const auto lf = window.find('\n');
      if (lf != std::string::npos) line_break = lf > 0 && window[lf - 1] == '\r' ? "\r\n" : "\n";
    }
    if (!gtube && window.find(kGtube) != std::string::npos) gtube = true;
    if (window.size() > keep) window.erase(0, window.size() - keep);
  }
  if (line_break.empty()) line_break = "\n";
  if (faults.no_output) return faults.exit_status;

  const bool flagged = gtube || faults.flag;
  Output out(faults);
  spool.Rewind();
  if (faults.no_header) {
    // Skip the header section: everything up to the first empty line.
    std::string line;
    bool in_header = true;
    std::size_t got;
    while ((got = spool.Read(block, sizeof block)) > 0) {
      std::size_t i = 0;
      for (; in_header && i < got; ++i) {
        if (block[i] != '\n') {
          line.push_back(block[i]);
          continue;
        }
        if (line.empty() || line == "\r") in_header = false;
        line.clear();
      }
      if (!in_header) out.Put(block + i, got - i);
    }
  } else {
    out.Put("X-Spam-Checker-Version: SpamAssassin stand-in safilter 1.0" + line_break);
    if (flagged) out.Put("X-Spam-Flag: YES" + line_break);
    const std::string score = faults.score.empty() ? (flagged ? "1000.0" : "0.0") : faults.score;
    out.Put(std::string("X-Spam-Status: ") + (flagged ? "Yes, " : "No, ") + (score == "none" ? "" : "score=" + score + " ") + "required=5.0 tests=" +
            (flagged ? "GTUBE" : "none") + " autolearn=no version=safilter-1.0" + line_break);
    std::size_t got;
    while (!out.Stopped() && (got = spool.Read(block, sizeof block)) > 0) out.Put(block, got);
  }
  std::fflush(stdout);
  return faults.exit_status;
}
