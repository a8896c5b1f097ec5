#include "run/scan.h"

#include <chrono>
#include <memory>

#include "config/conversions.h"
#include "helpers/batch_text.h"
#include "helpers/make_run_name.h"
#include "helpers/run_and_wait.h"
#include "store/header_fields.h"
#include "store/policy.h"
#include "store/quarantine_store.h"
#include "run/main.h"
#include "run/replace_message.h"
#include "run/spamd_scan.h"

namespace saplugin {

const char* const kScanOutputExtension = ".OUT";

namespace {

const char* const kNoEmail = "SpamAssassin didn't return an email. Configuration problem.";
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

// Carries out the action for a flagged message; answers whether the output
// file was moved into the queue (and so is gone from TempPath).
bool ApplySpamAction(FileSystem& fs, const PluginOptions& options, const PolicyDecision& decision, const QueuePaths& paths,
                     const std::string& output_file, const std::string& run_name, const std::string& time) {
  switch (decision.action) {
    case 0:
      return ReplaceMessage(fs, output_file, paths.message_file, run_name, decision.mark_spam);
    case 1:
      QuarantineMessage(fs, options.QuarantinePath, paths, output_file, run_name, time);
      break;
    case 2:
      fs.DeleteFile(paths.pickup_file);
      fs.DeleteFile(paths.message_file);
      break;
    default:
      break;  // any other value leaves the message as it was
  }
  return false;
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
  if (!options.SpamdHosts.empty()) {
    RunFile output = OpenRunFile(fs, options, MakeRunName(platform), kScanOutputExtension);
    pass.run_name = output.run_name;
    pass.output_file = options.TempPath + output.run_name + kScanOutputExtension;
    pass.exit_status = 0;
    const SpamdOutcome outcome = ScanThroughSpamd(platform, fs, options, message_file, pass.output_file, std::move(output.writer),
                                                 pass.share_host_records);
    if (outcome.timed_out) pass.exit_status.reset();
    if (!outcome.scanned) pass.spamd_failures = outcome.failures;
    if (outcome.scanned) pass.spamd_passed_over = outcome.failures;
    pass.spamd_host = outcome.host;
    pass.local_failure = outcome.local_failure;
    pass.spamd_spam = outcome.spam;
    pass.spamd_score = outcome.score;
    pass.spamd_required = outcome.required;
    return;
  }
  RunFile batch = OpenRunFile(fs, options, MakeRunName(platform), ".BAT");
  pass.run_name = batch.run_name;
  pass.batch_file = options.TempPath + batch.run_name + ".BAT";
  pass.output_file = options.TempPath + batch.run_name + kScanOutputExtension;
  batch.writer->WriteLine(ComposeScanCommandLine(options, message_file, pass.run_name));
  batch.writer->Close();
  batch.writer.reset();
  pass.exit_status = RunAndWait(platform, options, pass.run_name);
}

int ScanMessage(Platform& platform, FileSystem& fs, const PluginOptions& options,
                const QueuePaths& paths, ScanRecord& record) {
  const auto start = std::chrono::steady_clock::now();
  FilterPass pass;
  RunFilter(platform, fs, options, paths.message_file, pass);
  record.filter_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string& run_name = pass.run_name;
  const std::string& batch_file = pass.batch_file;
  const std::string& output_file = pass.output_file;
  const std::optional<long>& exit_status = pass.exit_status;

  // Ends a run that leaves the queue as it was: the run's files are removed
  // and one entry says why.
  const auto leave = [&](const std::string& entry, const char* outcome, int exit_code) {
    record.outcome = outcome;
    if (fs.FileExists(output_file)) fs.DeleteFile(output_file);
    if (!batch_file.empty()) fs.DeleteFile(batch_file);
    platform.LogEvent(EventLevel::kError, entry);
    return exit_code;
  };
  if (!exit_status) {
    // Whatever the ended filter wrote is no message. Through spamd, the hosts it waited on are named.
    record.reason = pass.spamd_failures;
    return leave("SpamAssassin did not finish within " + SecondsText(options.ScanTimeLimit) + "; the message was left unscanned" +
                     (pass.spamd_failures.empty() ? "." : ": " + pass.spamd_failures + "."),
                 "time-limit", kExitTimeLimit);
  }
  if (!pass.local_failure.empty()) {
    record.reason = pass.local_failure;
    return leave("The message could not be scanned through spamd, and was left unscanned: " + pass.local_failure + ".",
                 "filter-failed", kExitNoScan);
  }
  if (!pass.spamd_failures.empty()) {
    record.reason = pass.spamd_failures;
    return leave("No spamd host scanned the message, which was left unscanned: " + pass.spamd_failures + ".", "no-message", kExitNoScan);
  }
  // A filter that crashed or was killed may have left a cut output that looks
  // like a message, and an output that is no message must never take the
  // message's place: both count as no output at all.
  const long status = *exit_status;
  // Hosts passed over on the way stay in the log, so that each host's failures can be counted.
  record.reason = status == 0 ? pass.spamd_passed_over : "exit status " + std::to_string(status);
  record.host = pass.spamd_host;
  if (!fs.FileExists(output_file) || platform.IsCrashStatus(status)) return leave(kNoEmail, "no-message", kExitNoScan);
  std::string spam_status;
  // The score bands need the score whether or not the scan log is on.
  const bool scored = !options.ScanLogPath.empty() || options.SpamScore || options.HighScore;
  Verdict verdict = ReadVerdict(fs, output_file, scored ? &spam_status : nullptr);
  if (verdict == Verdict::kNoMessage) return leave(kNoEmail, "no-message", kExitNoScan);
  // spamd's own word counts: a site may have it drop or rename the flag line.
  // Either saying spam makes it spam.
  if (pass.spamd_spam.value_or(false) && verdict == Verdict::kClean) verdict = Verdict::kFlagged;
  const SpamStatus parts = ParseSpamStatus(spam_status);
  record.score = pass.spamd_score.empty() ? parts.score : pass.spamd_score;
  const PolicyDecision decision = DecidePolicy(options, verdict == Verdict::kFlagged, record.score);
  verdict = decision.spam ? Verdict::kFlagged : Verdict::kClean;
  if (decision.by_flag) record.reason += (record.reason.empty() ? "" : "; ") + std::string(kDecidedByFlag);
  record.verdict = verdict == Verdict::kFlagged ? "spam" : "clean";
  record.required = pass.spamd_required.empty() ? parts.required : pass.spamd_required;
  record.rules = parts.rules;

  // A filter that failed without crashing (a full disk, a daemon lost in mid
  // answer, a wrapper whose last command failed) may have cut its output
  // short after a whole header section: such an output never takes the
  // message's place. What needs no more than the verdict is still done.
  // In test mode nothing is done: the message stays as it arrived.
  const bool replaces = !options.TestMode && decision.action == 0;
  const std::string failed = "SpamAssassin failed with exit status " + std::to_string(status) + "; ";
  if (status != 0 && replaces) return leave(failed + "the message was left unscanned.", "filter-failed", kExitNoScan);

  record.outcome = decision.outcome;
  bool output_moved = false;
  if (options.TestMode) {
  } else if (verdict == Verdict::kFlagged) {
    output_moved = ApplySpamAction(fs, options, decision, paths, output_file, run_name, record.time);
    if (decision.action == 1) record.quarantine_file = run_name + ".MAI";
  } else if (replaces) {
    output_moved = ReplaceMessage(fs, output_file, paths.message_file, run_name);
  }
  if (!output_moved) fs.DeleteFile(output_file);
  if (!batch_file.empty()) fs.DeleteFile(batch_file);
  if (status != 0) {
    // Only what needed no more than the verdict can have been done: kept, quarantined, deleted or left.
    const std::string& done = record.outcome;
    platform.LogEvent(EventLevel::kWarning, failed + (options.TestMode ? "in test mode, the message was left as it arrived."
                                                      : done == "kept"   ? "the message was kept as received."
                                                      : done == "left" ? "the message it flagged was left in the queue."
                                                                       : "the message it flagged was " + done + "."));
  }
  return kExitNormal;
}

}  // namespace saplugin
