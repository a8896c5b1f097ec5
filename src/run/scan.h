#pragma once

#include <optional>
#include <string>

#include "config/plugin_options.h"
#include "platform/platform.h"
#include "store/header_fields.h"
#include "store/queue_paths.h"
#include "store/run_plan.h"
#include "store/scan_record.h"

namespace saplugin {

// What the filter's output says of the message.
enum class Verdict {
  kNoMessage,  // empty, or not starting with a header field (after an mbox "From " line): not a message
  kFlagged,    // a header line begins with "X-Spam-Flag: YES", in any case
  kClean,      // the header section ended, or the output did, without the flag
};

// The extension of a run's output file in TempPath, TempPath + run name +
// ".OUT": no file of the quarantine has it, so that a run's output can never
// take a quarantined file's name, whichever folders the two settings name.
extern const char* const kScanOutputExtension;

// The line that the scan batch file holds: the filter with -P -c and the
// rules path, reading the message file and writing TempPath + run name +
// kScanOutputExtension. A quoted path that ends with "\" has those doubled,
// so that the C runtime's reading of the filter's command line gives the
// path as written and not a quote.
std::string ComposeScanCommandLine(const PluginOptions& options, const std::string& message_file,
                                   const std::string& run_name);

// Reads the output's header section, line by line, up to the flag line or
// the first empty line, and closes it again. Given spam_status, it reads on
// to the end of the header section and stores there the X-Spam-Status value
// (unfolded, cut at kHeaderLineLimit characters; empty when there is none).
Verdict ReadVerdict(FileSystem& fs, const std::string& output_file, std::string* spam_status = nullptr);

// True for "Name: ..." where the name is printable characters without blanks
// or colon.
bool IsHeaderFieldLine(const std::string& line);

// One pass of the filter over a message file, as a run makes it: the batch
// file written in TempPath and run hidden through the interpreter, or the
// message sent to the spamd pool.
// Through a spamd pool (SPAMDHOSTS), the run writes no batch file.
struct FilterPass {
  bool share_host_records = true;  // given: sacheck's trial writes no record of the spamd hosts for the runs
  std::string run_name, batch_file, output_file;
  FilterFacts facts;
};
// Fills pass step by step, so that a caller that catches an error the pass
// throws (an interpreter that cannot be started) knows the files it made.
// The output is not read.
void RunFilter(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& message_file, FilterPass& pass);

// Notes in the pass's facts what kind of output it left, and from a message
// its score, required score (spamd's, when it gave them) and rules, read
// from its X-Spam-Status when read_score is given. Only the output of a
// filter that ended by itself with a status that is no crash's is read.
void ReadFilterOutput(Platform& platform, FileSystem& fs, FilterPass& pass, bool read_score);

// Scans the message through the filter and carries out the plan for it on
// the queue, then removes the run's temporary files. Returns the exit
// status, and notes in record the plan's words, the quarantined file and
// the filter's time. Errors pass to the caller's trap, leaving what was done
// in place.
int ScanMessage(Platform& platform, FileSystem& fs, RunFacts facts, const QueuePaths& paths, ScanRecord& record);

}  // namespace saplugin
