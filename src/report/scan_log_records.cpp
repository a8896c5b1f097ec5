#include "report/scan_log_records.h"

#include <algorithm>

#include "store/scan_log.h"

namespace saplugin {

namespace {

const char* const kCutShort = "a line cut short (without its line end)";
const char* const kOverlong = "a line longer than any the log writes";

// Logs from before the host column have the fields before it alone.
bool Whole(const std::vector<std::string>& fields) { return fields.size() == kLogHost || fields.size() == kScanLogColumnCount; }

bool EvenQuotes(const std::string& text, std::size_t from) { return std::count(text.begin() + static_cast<long>(from), text.end(), '"') % 2 == 0; }

}  // namespace

bool LogTimeFieldAt(const std::string& text, std::size_t at) {
  static const char kPattern[] = "0000-00-00T00:00:00+00:00,";
  if (text.size() < at + sizeof kPattern - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof kPattern; ++i) {
    const char c = text[at + i], want = kPattern[i];
    if (want == '0' ? c < '0' || c > '9' : want == '+' ? c != '+' && c != '-' : c != want) return false;
  }
  return true;
}

void ScanLogRecords::Feed(const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      Line(true);
      continue;
    }
    if (line_.size() < limit_) line_ += data[i];
    else overlong_ = true;
    // A byte-order mark opens the file, not its first record.
    if (!bom_checked_ && line_.size() == 3) {
      bom_checked_ = true;
      if (line_ == "\xEF\xBB\xBF") line_.clear();
    }
  }
}

void ScanLogRecords::End() {
  if (!line_.empty() || overlong_) Line(false);
  // Its last line had its line end, but a quote was left open.
  if (started_) Finish(true);
}

void ScanLogRecords::Line(bool ended) {
  ++line_number_;
  bom_checked_ = true;
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  std::string text;
  text.swap(line_);
  const bool overlong = overlong_;
  overlong_ = false;
  if (overlong) {
    if (started_) Finish(true);
    sink_({{}, kOverlong, line_number_});
    return;
  }
  // A record open in quotes goes on over the line end, unless the line
  // starts a run's line of its own: the open one was cut short.
  if (started_ && (LogTimeFieldAt(text, 0) || record_.size() + text.size() >= limit_)) Finish(true);
  if (!started_) {
    if (text.empty()) return;
    started_ = true;
    record_line_ = line_number_;
    record_.clear();
    open_ = false;
  } else {
    record_ += '\n';
  }
  record_ += text;
  open_ ^= !EvenQuotes(text, 0);
  if (!open_ || !ended) Finish(ended);
}

void ScanLogRecords::Finish(bool ended) {
  started_ = false;
  const bool closed = ended && !open_;
  std::vector<std::string> fields = ParseCsvLine(record_);
  if (closed && Whole(fields)) {
    sink_({std::move(fields), "", record_line_});
    return;
  }
  // A cut line with the next run's whole line appended straight after it.
  if (ended) {
    for (std::size_t at = record_.find('-', 1); at != std::string::npos; at = record_.find('-', at + 1)) {
      if (at < 5 || !LogTimeFieldAt(record_, at - 4) || !EvenQuotes(record_, at - 4)) continue;
      std::vector<std::string> after = ParseCsvLine(record_.substr(at - 4));
      if (!Whole(after)) continue;
      sink_({{}, kCutShort, record_line_});
      sink_({std::move(after), "", record_line_ + static_cast<long>(std::count(record_.begin(), record_.begin() + static_cast<long>(at), '\n'))});
      return;
    }
  }
  if (!closed) sink_({{}, kCutShort, record_line_});
  else sink_({std::move(fields), "", record_line_});  // whole, but no record of the log: the report names it
}

}  // namespace saplugin
