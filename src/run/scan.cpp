#include "run/scan.h"

#include <chrono>
#include <memory>

#include "helpers/batch_text.h"
#include "helpers/make_run_name.h"
#include "helpers/run_and_wait.h"
#include "platform/text.h"
#include "store/header_fields.h"
#include "store/quarantine_store.h"
#include "run/replace_message.h"
#include "run/spamd_scan.h"

namespace saplugin {

const char* const kScanOutputExtension = ".OUT";

namespace {

const char* const kFlagLine = "X-Spam-Flag: YES";
const char* const kStatusField = "X-Spam-Status";

// Names tried for a run that fell back to the fixed run name, before giving up.
constexpr int kFallbackAttempts = 100000;

struct RunFile {
  std::string run_name;
  std::unique_ptr<TextWriter> writer;
};

// Opens this run's first file in TempPath: the batch file, or through spamd
// the output file. A run name from a GUID is this run's own; the fixed
// fallback name is everybody's, so such a run claims a numbered variant
// whose file it creates itself and whose output and quarantine files no
// earlier run left behind.
RunFile OpenRunFile(FileSystem& fs, const PluginOptions& options, const std::string& run_name, const std::string& extension) {
  if (run_name != kFallbackRunName) {
    const std::string path = options.TempPath + run_name + extension;
    auto writer = extension == ".BAT" ? fs.OpenTextFileForAppending(path) : fs.CreateNewTextFile(path);
    if (!writer) throw Error(kErrorInvalidArgument, "ScanMessage", "Could not create " + path + ": it exists");
    return {run_name, std::move(writer)};
  }
  for (int n = 0; n < kFallbackAttempts; ++n) {
    const std::string name = n == 0 ? run_name : run_name + "-" + std::to_string(n);
    if ((extension != kScanOutputExtension && fs.FileExists(options.TempPath + name + kScanOutputExtension)) ||
        (!options.QuarantinePath.empty() && fs.FileExists(options.QuarantinePath + name + ".MAI"))) {
      continue;
    }
    auto writer = fs.CreateNewTextFile(options.TempPath + name + extension);
    if (writer) return {name, std::move(writer)};
  }
  throw Error(kErrorInvalidArgument, "ScanMessage",
              "No free name for the run's temporary files in " + options.TempPath);
}

// Moves the message into the quarantine under the run name. The run holds
// the message's lock all the while, and its record says that it is being
// quarantined until both queue files are gone, so that no operator's program
// takes a half-made entry for a whole one, nor a message still in the queue
// for one that a release put there.
void QuarantineMessage(FileSystem& fs, const std::string& folder, const QueuePaths& paths, const std::string& output_file,
                       const std::string& run_name, const std::string& time) {
  const auto lock = fs.TryLock(QuarantineLockFile(folder, run_name));
  if (!lock) throw Error(kErrorFileExists, "ScanMessage", "The quarantine's entry " + run_name + " is in use by another program");
  const std::string sizes = std::to_string(fs.FileSize(paths.pickup_file)) + "," + std::to_string(fs.FileSize(paths.message_file)) + "," +
                            std::to_string(fs.FileSize(output_file));
  QuarantineRecord record{paths.connector, paths.name, time, EntryState::kQuarantining, "", "", sizes};
  WriteQuarantineRecord(fs, folder, run_name, record);
  try {
    fs.CopyFile(paths.pickup_file, QuarantinePickupFile(folder, run_name));
    fs.CopyFile(paths.message_file, QuarantineMessageFile(folder, run_name));
    fs.CopyFile(output_file, QuarantineOutputFile(folder, run_name));
  } catch (const Error&) {
    // The message stays in the queue; the entry that cannot be made whole
    // goes again where it can, and what cannot go stays listed as half-made.
    try {
      RemoveQuarantined(fs, folder, run_name);
    } catch (const Error&) {
    }
    throw;
  }
  fs.DeleteFile(paths.pickup_file);
  fs.DeleteFile(paths.message_file);
  record.state = EntryState::kWhole;
  record.sizes.clear();
  WriteQuarantineRecord(fs, folder, run_name, record);
}

// A program's argument as it must stand between quotes: the C runtime reads
// 2n backslashes before a quote as n and the quote as the argument's end, but
// n backslashes anywhere else as they stand.
std::string QuotableArgument(std::string text) {
  const std::size_t last = text.find_last_not_of('\\');
  const std::size_t trailing = text.size() - (last == std::string::npos ? 0 : last + 1);
  return text.append(trailing, '\\');
}

}  // namespace

std::string ComposeScanCommandLine(const PluginOptions& options, const std::string& message_file,
                                   const std::string& run_name) {
  // The two files that this program opens itself must be the ones the
  // interpreter opens; the filter's paths are the operator's to write, and
  // may use the interpreter's variables.
  return "\"" + options.SpamAssassinExe + "\" -P -c \"" + QuotableArgument(options.SpamAssassinRulesPath) + "\" < \"" +
         EscapeForBatch(message_file) + "\" > \"" + EscapeForBatch(options.TempPath + run_name + kScanOutputExtension) + "\"";
}

bool IsHeaderFieldLine(const std::string& line) {
  const auto colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

Verdict ReadVerdict(FileSystem& fs, const std::string& output_file, std::string* spam_status) {
  auto reader = fs.OpenTextFileForReading(output_file);
  HeaderFieldCollector status_field({kStatusField}, kHeaderLineLimit);
  bool first = true;
  bool from_line = false;
  Verdict verdict = Verdict::kClean;
  while (!reader->AtEndOfStream()) {
    const std::string line = reader->ReadLine(kHeaderLineLimit);
    if (first && !IsHeaderFieldLine(line)) {
      // SpamAssassin copies an mbox separator ("From sender date") that stands
      // before the header section; a header field must still follow it.
      if (!from_line && line.compare(0, 5, "From ") == 0) {
        from_line = true;
        continue;
      }
      verdict = Verdict::kNoMessage;
      break;
    }
    first = false;
    if (line.empty()) break;
    if (StartsWithIgnoringCase(line, kFlagLine)) {
      verdict = Verdict::kFlagged;
      if (spam_status == nullptr) break;
    }
    status_field.Feed(line);
  }
  if (first) verdict = Verdict::kNoMessage;  // nothing at all was written
  reader->Close();
  if (spam_status != nullptr) {
    const auto found = status_field.Values().find(kStatusField);
    *spam_status = found == status_field.Values().end() ? "" : found->second;
  }
  return verdict;
}

void RunFilter(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& message_file, FilterPass& pass) {
  FilterFacts& facts = pass.facts;
  if (!options.SpamdHosts.empty()) {
    RunFile output = OpenRunFile(fs, options, MakeRunName(platform), kScanOutputExtension);
    pass.run_name = output.run_name;
    pass.output_file = options.TempPath + output.run_name + kScanOutputExtension;
    const SpamdOutcome outcome = ScanThroughSpamd(platform, fs, options, message_file, pass.output_file, std::move(output.writer),
                                                 pass.share_host_records);
    if (outcome.timed_out) facts.exit_status.reset();
    if (!outcome.scanned) facts.spamd_failures = outcome.failures;
    if (outcome.scanned) facts.spamd_passed_over = outcome.failures;
    facts.spamd_host = outcome.host;
    facts.local_failure = outcome.local_failure;
    facts.spamd_spam = outcome.spam;
    facts.score = outcome.score;
    facts.required = outcome.required;
    return;
  }
  RunFile batch = OpenRunFile(fs, options, MakeRunName(platform), ".BAT");
  pass.run_name = batch.run_name;
  pass.batch_file = options.TempPath + batch.run_name + ".BAT";
  pass.output_file = options.TempPath + batch.run_name + kScanOutputExtension;
  batch.writer->WriteLine(ComposeScanCommandLine(options, message_file, pass.run_name));
  batch.writer->Close();
  batch.writer.reset();
  facts.exit_status = RunAndWait(platform, options, pass.run_name);
}

void ReadFilterOutput(Platform& platform, FileSystem& fs, FilterPass& pass, bool read_score) {
  FilterFacts& facts = pass.facts;
  if (!facts.exit_status || !facts.local_failure.empty() || !facts.spamd_failures.empty() || !fs.FileExists(pass.output_file)) return;
  if (platform.IsCrashStatus(*facts.exit_status)) {
    facts.output = OutputKind::kCrashed;
    return;
  }
  std::string spam_status;
  const Verdict verdict = ReadVerdict(fs, pass.output_file, read_score ? &spam_status : nullptr);
  facts.output = verdict == Verdict::kFlagged ? OutputKind::kFlagged : verdict == Verdict::kClean ? OutputKind::kClean : OutputKind::kNoMessage;
  const SpamStatus parts = ParseSpamStatus(spam_status);
  if (facts.score.empty()) facts.score = parts.score;
  if (facts.required.empty()) facts.required = parts.required;
  facts.rules = parts.rules;
}

int ScanMessage(Platform& platform, FileSystem& fs, RunFacts facts, const QueuePaths& paths, ScanRecord& record) {
  const PluginOptions& options = facts.options;
  const auto start = std::chrono::steady_clock::now();
  FilterPass pass;
  RunFilter(platform, fs, options, paths.message_file, pass);
  record.filter_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ReadFilterOutput(platform, fs, pass, PlanReadsScore(options));
  facts.filter = &pass.facts;
  const RunPlan plan = PlanRun(facts);
  plan.Log(record);

  bool output_moved = false;
  switch (plan.action) {
    case RunAction::kReplace:
      output_moved = ReplaceMessage(fs, pass.output_file, paths.message_file, pass.run_name, plan.mark_spam);
      break;
    case RunAction::kQuarantine:
      QuarantineMessage(fs, options.QuarantinePath, paths, pass.output_file, pass.run_name, record.time);
      record.quarantine_file = pass.run_name + ".MAI";
      break;
    case RunAction::kDelete:
      fs.DeleteFile(paths.pickup_file);
      fs.DeleteFile(paths.message_file);
      break;
    default:
      break;  // the message stays as it was
  }
  if (!output_moved && fs.FileExists(pass.output_file)) fs.DeleteFile(pass.output_file);
  if (!pass.batch_file.empty()) fs.DeleteFile(pass.batch_file);
  if (!plan.entry.empty()) platform.LogEvent(plan.level, plan.entry);
  return plan.exit_status;
}

}  // namespace saplugin
