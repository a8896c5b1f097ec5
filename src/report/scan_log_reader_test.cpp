#include "report/scan_log_reader.h"

#include <gtest/gtest.h>

#include "memory_file_system.h"
#include "report/report_data.h"
#include "report/scan_log_records.h"
#include "store/scan_log.h"

namespace saplugin {
namespace {

// Where a record's time field stands: its whole shape, with its comma.
TEST(ScanLog, ATimeFieldIsKnownByItsWholeShape) {
  const std::pair<const char*, bool> cases[] = {
      {"2026-12-07T10:00:00+01:00,", true}, {"x2026-12-07T10:00:00-05:00,SMTP", false}, {"2026-12-07 10:00:00+01:00,", false},
      {"2026-12-07T10:00:00+01:00", false}, {"2026-12-07T10:00:00*01:00,", false},       {"2026-12-07T1a:00:00+01:00,", false},
      {"2026-12-07T10:00:00+01:00;", false}, {"", false},
  };
  for (const auto& [text, at_start] : cases) EXPECT_EQ(LogTimeFieldAt(text, 0), at_start) << text;
  EXPECT_TRUE(LogTimeFieldAt("cut short2026-12-07T10:00:00+01:00,", 9));
}

// The period's files, each day's in their order: what cannot be counted is
// said, and a day without any file is named with its neighbours as a range.
TEST(ScanLog, ThePeriodsFilesAndWhatIsWrongWithThem) {
  test::MemoryFileSystem fs;
  const std::string folder = "C:\\Logs\\", line = "2026-12-07T10:00:00+01:00,SMTP,A.MAI,10,clean,tagged,,1.0,5.0,,,0.100,f,s,h:783\r\n";
  fs.AddFolder("C:\\Logs");
  fs.Put(ScanLogFile(folder, "2026-12-03"), "");
  fs.Put(ScanLogFile(folder, "2026-12-07"), "time,connector,message\r\n");
  fs.Put(ScanLogFile(folder, "2026-12-07", 2), line);
  ReportData data(MakePeriod("2026-12-01", "2026-12-07"));
  std::string notes;
  for (const std::string& note : ReadScanLogs(fs, folder, data)) notes += note + "\n";
  EXPECT_EQ(notes, ScanLogFile(folder, "2026-12-03") +
                       " is empty\nno scan log in C:\\Logs\\ for 2026-12-01 to 2026-12-02, 2026-12-04 to 2026-12-06\n");
  EXPECT_EQ(data.current.messages, 1);
}

}  // namespace
}  // namespace saplugin
