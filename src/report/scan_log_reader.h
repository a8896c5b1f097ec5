#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "report/report_data.h"

namespace saplugin {

// A day ("YYYY-MM-DD") moved by a number of days; empty for a text that is no day.
std::string AddDays(const std::string& day, int days);

// The period that ends with the last day and is days long, and the one before.
ReportPeriod MakePeriod(const std::string& first, const std::string& last);

// Reads every scan-log file of both periods from the folder (ending with
// "\"), the day's further files (-2 to -9) included, line by line, into the
// data. Answers what an operator should know of the files: days without a
// log, files that are empty or cannot be read.
std::vector<std::string> ReadScanLogs(FileSystem& fs, const std::string& folder, ReportData& data);

}  // namespace saplugin
