#include "store/scan_log.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "config/conversions.h"
#include "helpers/make_run_name.h"
#include "platform/text.h"
#include "store/whole_file.h"

namespace saplugin {

namespace {

constexpr std::size_t CommasIn(const char* text) {
  std::size_t commas = 0;
  for (; *text != '\0'; ++text) commas += *text == ',' ? 1 : 0;
  return commas;
}
static_assert(CommasIn(kScanLogColumns) + 1 == kScanLogColumnCount, "a name in the header row for each column");

const char* const kByteOrderMark = "\xEF\xBB\xBF";

// Windows-1252's characters for the bytes 0x80 to 0x9F (0 where it has none).
const char16_t kCp1252High[32] = {0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                  0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                  0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The length of the valid UTF-8 sequence of two to four bytes at text[i], or 0.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  // No overlong form, no surrogate, nothing past U+10FFFF.
  if ((lead == 0xE0 && byte(i + 1) < 0xA0) || (lead == 0xED && byte(i + 1) > 0x9F) || (lead == 0xF0 && byte(i + 1) < 0x90) ||
      (lead == 0xF4 && byte(i + 1) > 0x8F)) {
    return 0;
  }
  return length;
}

std::string Number(double value, const char* format) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::optional<double> ReadFilterSeconds(const std::string& field) { return ReadDecimal(field, {9, kAnyDigits}); }

bool IsFailureOutcome(const std::string& outcome) {
  return outcome == "no-message" || outcome == "filter-failed" || outcome == "time-limit" || outcome == "trap";
}

LocalTime ToLocalTime(std::time_t moment) {
  std::tm local = *std::localtime(&moment);
  std::tm utc = *std::gmtime(&moment);
  // The offset: the local clock's reading taken as local time, less the UTC
  // clock's reading taken the same way.
  utc.tm_isdst = local.tm_isdst;
  const long offset = static_cast<long>(std::difftime(moment, std::mktime(&utc)));
  const int minutes = static_cast<int>((offset < 0 ? -offset : offset) / 60 % (100 * 60));
  char stamp[64], date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  std::snprintf(stamp, sizeof stamp, "%sT%02d:%02d:%02d%c%02d:%02d", date, local.tm_hour, local.tm_min, local.tm_sec,
                offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return {stamp, date};
}

namespace {

// The text as valid UTF-8 without control characters: bytes that are not
// UTF-8 are taken for Windows-1252 text and converted, control characters
// become blanks.
std::string CleanText(const std::string& text) {
  std::string field;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      field += ' ';
      ++i;
    } else if (c < 0x80) {
      field += text[i++];
    } else if (const std::size_t length = Utf8Length(text, i)) {
      // C1 controls, line and paragraph separators, the marks that turn the
      // direction of what follows (a subject can make "exe.pdf" read as
      // "fdp.exe") and the invisible joiners are blanks too.
      static const char* const kDirectionMarks[] = {"\u200E", "\u200F", "\u202A", "\u202B", "\u202C", "\u202D", "\u202E", "\u2066",
                                                    "\u2067", "\u2068", "\u2069", "\u061C", "\u2028", "\u2029", "\u200B", "\u200C",
                                                    "\u200D", "\u2060", "\uFEFF"};
      const std::string character = text.substr(i, length);
      bool hidden = length == 2 && c == 0xC2 && static_cast<unsigned char>(character[1]) < 0xA0;
      for (const char* mark : kDirectionMarks) hidden = hidden || character == mark;
      field += hidden ? std::string(" ") : character;
      i += length;
    } else {
      AppendUtf8(field, c >= 0xA0 ? c : kCp1252High[c - 0x80] != 0 ? kCp1252High[c - 0x80] : 0xFFFD);
      ++i;
    }
  }
  return field;
}

// A clean field in double quotes (each inner one doubled) when it must be.
std::string Quoted(const std::string& field) {
  if (field.find_first_of(",\"") == std::string::npos && (field.empty() || (field.front() != ' ' && field.back() != ' '))) {
    return field;
  }
  std::string quoted = "\"";
  for (const char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

std::string DisplayText(const std::string& text) { return CleanText(text); }

std::optional<std::string> SingleByteToUtf8(const std::string& bytes, std::string charset) {
  charset = LowerCase(std::move(charset));
  const bool latin1 = charset == "iso-8859-1" || charset == "latin1" || charset == "us-ascii";
  const bool latin9 = charset == "iso-8859-15" || charset == "latin-9";
  const bool cp1252 = charset == "windows-1252" || charset == "cp1252";
  if (!latin1 && !latin9 && !cp1252) return std::nullopt;
  // ISO-8859-15 differs from -1 in eight places.
  static const std::pair<unsigned char, char32_t> kLatin9[] = {{0xA4, 0x20AC}, {0xA6, 0x0160}, {0xA8, 0x0161}, {0xB4, 0x017D},
                                                               {0xB8, 0x017E}, {0xBC, 0x0152}, {0xBD, 0x0153}, {0xBE, 0x0178}};
  std::string text;
  for (const char byte : bytes) {
    const auto c = static_cast<unsigned char>(byte);
    char32_t character = c;
    if (cp1252 && c >= 0x80 && c < 0xA0) character = kCp1252High[c - 0x80] != 0 ? kCp1252High[c - 0x80] : 0xFFFD;
    for (const auto& [from, to] : kLatin9) {
      if (latin9 && c == from) character = to;
    }
    AppendUtf8(text, character);
  }
  return text;
}

std::string CsvField(const std::string& text) { return Quoted(CleanText(text)); }

std::string CsvTextUnguarded(const std::string& field) {
  const std::size_t first = field.find_first_not_of(' ', 1);
  const bool guarded = !field.empty() && field[0] == '\'' && first != std::string::npos && std::string("=+-@").find(field[first]) != std::string::npos;
  return guarded ? field.substr(1) : field;
}

std::string CsvNumberField(const std::string& text) {
  // A plain decimal number, as SpamAssassin writes a score; anything else is text.
  return ReadDecimal(text, {kAnyDigits, kAnyDigits}) ? text : CsvTextField(text);
}

std::string CsvTextField(const std::string& text) {
  std::string field = CleanText(text);
  // A spreadsheet takes a cell for a formula by its first character that is
  // no blank (control characters are blanks by now): such text is marked as
  // text with an apostrophe in front.
  const std::size_t first = field.find_first_not_of(' ');
  if (first != std::string::npos && std::string("=+-@").find(field[first]) != std::string::npos) field.insert(0, "'");
  return Quoted(field);
}

std::string CutFromField(const std::string& from) {
  if (from.size() <= kScanLogFieldLimit) return from;
  const std::size_t open = from.rfind('<'), close = open == std::string::npos ? open : from.find('>', open);
  if (close != std::string::npos && close - open + 1 <= kScanLogFieldLimit) {
    const std::string address = from.substr(open, close - open + 1);
    // Room for a blank before the address, and for the quote that closes a quoted name the cut left open.
    std::string name = CutAtCharacter(from.substr(0, open), kScanLogFieldLimit - std::min(address.size() + 2, kScanLogFieldLimit));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (std::count(name.begin(), name.end(), '"') % 2 == 1) name += '"';
    return name + (name.empty() ? "" : " ") + address;
  }
  return CutAtCharacter(from, kScanLogFieldLimit);
}

std::string FormatScanLogLine(const ScanRecord& r) {
  // Every field that came from outside (the command line, the filter's
  // output, a description) is guarded against a spreadsheet's formulas.
  std::string fields[kScanLogColumnCount];
  fields[kLogTime] = CsvField(r.time);
  fields[kLogConnector] = CsvTextField(r.connector);
  fields[kLogMessage] = CsvTextField(r.message);
  fields[kLogSize] = CsvField(r.size < 0 ? "" : std::to_string(r.size));
  fields[kLogVerdict] = CsvField(r.verdict);
  fields[kLogOutcome] = CsvField(r.outcome);
  fields[kLogReason] = CsvTextField(r.reason.substr(0, kScanLogReasonLimit));
  fields[kLogScore] = CsvNumberField(r.score);
  fields[kLogRequired] = CsvNumberField(r.required);
  fields[kLogRules] = CsvTextField(r.rules);
  fields[kLogQuarantineFile] = CsvTextField(r.quarantine_file);
  fields[kLogFilterSeconds] = CsvField(r.filter_seconds < 0 ? "" : Number(r.filter_seconds, "%.3f"));
  fields[kLogFrom] = CsvTextField(CutFromField(r.from));
  fields[kLogSubject] = CsvTextField(CutAtCharacter(r.subject, kScanLogFieldLimit));
  fields[kLogHost] = CsvTextField(r.host);
  std::string line = fields[0];
  for (std::size_t i = 1; i < kScanLogColumnCount; ++i) line += "," + fields[i];
  return line;
}

std::vector<std::string> ParseCsvLine(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

std::string ScanLogFile(const std::string& folder, const std::string& date, int n) {
  return folder + "saplugin-" + date + (n > 1 ? "-" + std::to_string(n) : "") + ".csv";
}

namespace {

// Adds the line to the file, making the file first, whole with its header row,
// when it is new: the first run to put its new file in place wins, the others
// append.
void AppendToLogFile(Platform& platform, FileSystem& fs, const std::string& file, const std::string& line) {
  if (fs.AppendToExistingFile(file, line + "\r\n")) return;
  const std::string temporary = file + "." + MakeRunName(platform) + ".tmp";
  auto writer = fs.CreateNewTextFile(temporary);
  if (!writer) throw Error(kErrorInvalidArgument, "WriteScanLog", "Could not create " + temporary + ": it exists");
  const bool placed = PlaceWholeFile(fs, temporary, file, Placing::kIfAbsent, [&] {
    const auto open = std::move(writer);  // closed whatever happens, before the file can go
    open->WriteLine(kByteOrderMark + std::string(kScanLogColumns));
    open->WriteLine(line);
    open->Close();
  });
  if (placed) return;
  if (!fs.AppendToExistingFile(file, line + "\r\n")) {
    throw Error(kErrorInvalidArgument, "WriteScanLog", "Could not append to " + file + ": it vanished");
  }
}

}  // namespace

void WriteScanLog(Platform& platform, FileSystem& fs, const std::string& folder, const ScanRecord& record) {
  const std::string date = record.time.substr(0, 10);
  const std::string line = FormatScanLogLine(record);
  // A reader that holds the day's file without sharing it for writing (Excel
  // does) keeps every run from appending there: the line goes to the day's
  // next file, which every reader of the log reads too.
  std::unique_ptr<Error> first;
  std::string reasons;
  for (int n = 1; n <= kScanLogFilesPerDay; ++n) {
    try {
      AppendToLogFile(platform, fs, ScanLogFile(folder, date, n), line);
      return;
    } catch (const Error& error) {
      if (!first) first = std::make_unique<Error>(error);
      reasons += (reasons.empty() ? "" : "; ") + error.Description();
    }
  }
  // The line itself, and why each of the day's files refused it: the
  // operator can put it back by hand and knows what to mend.
  throw Error(first->Number(), "WriteScanLog", "none of the day's " + std::to_string(kScanLogFilesPerDay) + " files took the line \"" + line + "\": " + reasons);
}

std::string EscapeHtml(const std::string& raw) {
  // Valid UTF-8 whatever the bytes were, converted as the scan log converts them.
  const std::string text = DisplayText(raw);
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&#39;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

}  // namespace saplugin
