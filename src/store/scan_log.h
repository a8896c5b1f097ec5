#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "store/scan_record.h"

namespace saplugin {

// The scan log's columns, in the order of its header row: a line's fields
// (ParseCsvLine) are read by these names.
enum ScanLogColumn : std::size_t {
  kLogTime,
  kLogConnector,
  kLogMessage,
  kLogSize,
  kLogVerdict,
  kLogOutcome,
  kLogReason,
  kLogScore,
  kLogRequired,
  kLogRules,
  kLogQuarantineFile,
  kLogFilterSeconds,
  kLogFrom,
  kLogSubject,
  kLogHost,
  kScanLogColumnCount
};

// The scan log's header row, its column names separated by commas.
constexpr const char* kScanLogColumns =
    "time,connector,message,size,verdict,outcome,reason,score,required,rules,quarantine_file,filter_seconds,from,subject,host";

// The longest From or Subject that the log keeps, in bytes.
constexpr std::size_t kScanLogFieldLimit = 200;
// How much of a From or Subject a run reads for the log, in bytes: more than
// it keeps, so that the writer can cut a From's display name and keep its
// address whole.
constexpr std::size_t kScanLogTextLimit = 1000;

// A From as the log keeps it: whole when it fits in kScanLogFieldLimit bytes,
// else its display name cut so that its <address> stays whole; an address
// that does not fit alone is cut like any text.
std::string CutFromField(const std::string& from);
// The longest reason that the log keeps, in bytes: a line stays well within
// what its readers take.
constexpr std::size_t kScanLogReasonLimit = 2000;

// The filter's time as the log writes it in seconds ("1.500"), read back;
// nothing for any other text.
std::optional<double> ReadFilterSeconds(const std::string& field);

// True for the outcomes of a run that failed: the message was left unscanned
// for a fault, not by a setting.
bool IsFailureOutcome(const std::string& outcome);

// A moment in local time: "2026-12-07T13:45:12+01:00" and "2026-12-07".
struct LocalTime {
  std::string stamp, date;
};
LocalTime ToLocalTime(std::time_t moment);

// One field as RFC 4180 writes it: in double quotes (each inner one doubled)
// when it holds a comma, a quote or a blank at either end. Bytes that are not
// UTF-8 are taken for Windows-1252 text and converted, control characters
// become blanks, so that every line is one record of valid UTF-8.
std::string CsvField(const std::string& text);

// Text as a person should see it on a console or a page: valid UTF-8, bytes
// that are not taken for Windows-1252 as CsvField takes them, control
// characters as blanks.
std::string DisplayText(const std::string& text);

// Text made safe for HTML: valid UTF-8 (as the scan log converts bytes),
// control characters as blanks, & < > " ' as entities.
std::string EscapeHtml(const std::string& text);


// Bytes in a single-byte character set (ISO-8859-1, ISO-8859-15 or
// Windows-1252, by their names in any case) as UTF-8; nothing for another.
std::optional<std::string> SingleByteToUtf8(const std::string& bytes, std::string charset);

// A field as CsvTextField wrote it, without the apostrophe it put in front of
// what a spreadsheet would take for a formula.
std::string CsvTextUnguarded(const std::string& field);

// A number from outside (a score) as it stands when it is a plain decimal
// number, else as CsvTextField writes text: never a formula.
std::string CsvNumberField(const std::string& text);

// A field of text from outside (a sender, a subject) as CsvField writes it,
// and, when a spreadsheet would take it for a formula (its first character
// after blanks and control characters is =, +, - or @), marked as text with an
// apostrophe in front.
std::string CsvTextField(const std::string& text);

// The record as one CSV line, without its line break.
std::string FormatScanLogLine(const ScanRecord& record);

// The fields of one CSV line that FormatScanLogLine wrote (or the header row).
std::vector<std::string> ParseCsvLine(const std::string& line);

// The most files a day's log is spread over.
constexpr int kScanLogFilesPerDay = 9;

// The n-th log file of a day in the folder (which ends with "\"):
// "saplugin-2026-12-07.csv" for the first, "saplugin-2026-12-07-2.csv" for
// the second.
std::string ScanLogFile(const std::string& folder, const std::string& date, int n = 1);

// Adds the record to the day's file in the folder in one append, starting the
// file with the header row (behind a UTF-8 byte-order mark, for Excel) when it
// is new: the first run to put its new file in place wins, the others append.
// When the day's file cannot be written (another program holds it without
// sharing it for writing), the line goes to the day's next file, up to
// kScanLogFilesPerDay. Throws Error, with the first file's number, naming the
// line and each file's reason, when none can be written.
void WriteScanLog(Platform& platform, FileSystem& fs, const std::string& folder, const ScanRecord& record);

}  // namespace saplugin
