#pragma once

// A scan log's bytes as its records, as RFC 4180 reads them: a quoted field
// may hold line ends (a log saved by a spreadsheet), and a record ends at a
// line end outside quotes. A record counts only when it is whole: one cut
// short (at the file's end without its line end, or by a write that failed
// half-way, with the next run's line appended straight after it) is given as
// cut, and never takes the next run's line with it.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace saplugin {

struct LogRecord {
  std::vector<std::string> fields;
  std::string cut;  // why the record is no whole line of the log; empty when it is one
  long line = 0;    // the file's line it starts on, from 1
};

class ScanLogRecords {
 public:
  using Sink = std::function<void(const LogRecord&)>;
  // limit: the longest record taken whole; a longer one is given as cut.
  ScanLogRecords(Sink sink, std::size_t limit) : sink_(std::move(sink)), limit_(limit) {}
  // The file's next bytes; each record they end goes to the sink.
  void Feed(const char* data, std::size_t size);
  // The file's end: a record still open is cut.
  void End();

 private:
  void Line(bool ended);
  void Finish(bool ended);

  Sink sink_;
  std::size_t limit_;
  std::string line_, record_;
  bool overlong_ = false, open_ = false, started_ = false, bom_checked_ = false;
  long line_number_ = 0, record_line_ = 0;
};

// True when the text has a log time ("2026-12-07T13:45:12+01:00") at the
// place, followed by the comma that ends the time's field.
bool LogTimeFieldAt(const std::string& text, std::size_t at);

}  // namespace saplugin
