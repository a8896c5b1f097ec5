#pragma once

#include <cstdint>
#include <ostream>
#include <set>
#include <string>

#include "store/scan_log.h"
#include <vector>

#include "store/quarantine_store.h"
#include "report/replay_policy_file.h"
#include "report/report_data.h"

namespace saplugin {

// The quarantine as the report shows it.
struct QuarantineSummary {
  bool configured = false;
  bool left_out = false;  // by --no-quarantine
  std::string folder, problem;
  long messages = 0;
  std::int64_t bytes = 0, oldest = 0;
  std::vector<QuarantinedMessage> newest;  // at most 20, newest first, with their details
  std::set<std::string> held;              // the ids of all its messages
};

// What frames the report: where it was made from and what to know of it.
struct ReportContext {
  std::string made;          // when it was made, local time
  std::string logs_folder;
  std::vector<std::string> notes;  // missing days, unreadable files
  const ReplayPolicyFile* policy = nullptr;  // the policy replayed (data.replay), if any
};

// The report as one self-contained HTML page: styles and charts (SVG) inside
// it, no script and nothing loaded from anywhere (its content security policy
// says so), every text from the logs escaped, readable when printed.
void WriteReportHtml(std::ostream& out, const ReportData& data, const QuarantineSummary& quarantine, const ReportContext& context);

// A short summary for a console: the period's totals beside the previous
// period's, the failures, the quarantine.
void WriteReportText(std::ostream& out, const ReportData& data, const QuarantineSummary& quarantine, const ReportContext& context);


}  // namespace saplugin
