#include "report/scan_log_reader.h"

#include <cstdio>

#include "report/scan_log_records.h"
#include "store/header_fields.h"
#include "store/scan_log.h"

namespace saplugin {

namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

std::string CivilFromDays(long z) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  char text[48];
  std::snprintf(text, sizeof text, "%04ld-%02u-%02u", static_cast<long>(yoe) + era * 400 + (m <= 2), m, d);
  return text;
}

}  // namespace

std::string AddDays(const std::string& day, int days) {
  unsigned y = 0, m = 0, d = 0;
  char rest = 0;
  if (day.size() != 10 || std::sscanf(day.c_str(), "%4u-%2u-%2u%c", &y, &m, &d, &rest) != 3 || m < 1 || m > 12 || d < 1 || d > 31) return "";
  const std::string back = CivilFromDays(DaysFromCivil(y, m, d));
  if (back != day) return "";  // 2026-02-30 and the like
  return CivilFromDays(DaysFromCivil(y, m, d) + days);
}

ReportPeriod MakePeriod(const std::string& first, const std::string& last) {
  long length = 0;
  while (AddDays(first, static_cast<int>(length)) < last) ++length;
  return {first, last, AddDays(first, -static_cast<int>(length) - 1), AddDays(first, -1), static_cast<int>(length) + 1};
}

std::vector<std::string> ReadScanLogs(FileSystem& fs, const std::string& folder, ReportData& data) {
  std::vector<std::string> notes;
  std::vector<std::string> missing;
  // The trend's periods go back further than the previous one.
  for (std::string day = data.period.TrendFirst(); !day.empty() && day <= data.period.last; day = AddDays(day, 1)) {
    bool found = false;
    for (int n = 1; n <= kScanLogFilesPerDay; ++n) {
      const std::string file = ScanLogFile(folder, day, n);
      if (!fs.FileExists(file)) continue;
      found = true;
      try {
        auto reader = fs.OpenTextFileForReading(file);
        long records = 0;
        ScanLogRecords split(
            [&](const LogRecord& record) {
              // The header row
              const auto& f = record.fields;
              if (records++ == 0 && f.size() > kLogConnector && f[kLogTime] == "time" && f[kLogConnector] == "connector") return;
              data.source = file + ", line " + std::to_string(record.line);
              if (record.cut.empty()) data.Add(record.fields);
              else data.AddCut(record.cut);
            },
            16 * kHeaderLineLimit);
        // Streamed: a log of any size is read in the same memory.
        std::vector<char> buffer(1 << 16);
        for (std::size_t got; (got = reader->Read(buffer.data(), buffer.size())) > 0;) split.Feed(buffer.data(), got);
        split.End();
        reader->Close();
        if (records == 0) notes.push_back(file + " is empty");
      } catch (const Error& error) {
        notes.push_back(file + " could not be read: " + error.Description());
      }
    }
    if (!found) data.days_without_logs.insert(day);
    if (!found && day >= data.period.first) missing.push_back(day);
  }
  if (!missing.empty()) {
    // Days in a row as one range.
    std::string days;
    for (std::size_t i = 0; i < missing.size();) {
      std::size_t j = i;
      while (j + 1 < missing.size() && AddDays(missing[j], 1) == missing[j + 1]) ++j;
      days += (days.empty() ? "" : ", ") + (j == i ? missing[i] : missing[i] + " to " + missing[j]);
      i = j + 1;
    }
    notes.push_back("no scan log in " + folder + " for " + days);
  }
  return notes;
}

}  // namespace saplugin
