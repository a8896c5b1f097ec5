#include "quarantine/learn.h"

#include "config/conversions.h"
#include "config/spamd_hosts.h"
#include "helpers/batch_text.h"
#include "helpers/make_run_name.h"
#include "helpers/run_and_wait.h"
#include "run/spamd_scan.h"

namespace saplugin {

namespace {

// One run of the learning program, its output in TempPath for its line.
void RunLearningProgram(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& message_file, bool spam,
                        Learned& learned) {
  const std::string run_name = MakeRunName(platform), batch = options.TempPath + run_name + ".BAT",
                    output = options.TempPath + run_name + ".OUT";
  std::string line;
  try {
    auto writer = fs.CreateNewTextFile(batch);
    if (!writer) throw Error(kErrorFileExists, "saquarantine", batch + " is there already");
    // The message on standard input, as the filter takes it: no path of ours
    // goes among the program's words.
    writer->WriteLine("\"" + options.SaLearnExe + "\" " + (spam ? "--spam" : "--ham") + " < \"" + EscapeForBatch(message_file) +
                      "\" > \"" + EscapeForBatch(output) + "\"");
    writer->Close();
    writer.reset();
    const std::optional<long> status = RunAndWait(platform, options, run_name);
    std::string said;
    if (fs.FileExists(output)) {
      auto reader = fs.OpenTextFileForReading(output);
      while (!reader->AtEndOfStream() && said.size() < 300) {
        const std::string text = reader->ReadLine(300);
        if (!text.empty()) said += (said.empty() ? "" : " ") + text;
      }
      reader->Close();
    }
    if (!status) {
      line = options.SaLearnExe + " did not finish within " + SecondsText(options.ScanTimeLimit) + " and was ended";
      ++learned.failed;
    } else if (*status != 0) {
      line = options.SaLearnExe + " failed with exit status " + std::to_string(*status) + (said.empty() ? "" : ": " + said);
      ++learned.failed;
    } else if (said.find("from 0 message(s)") != std::string::npos) {
      // sa-learn's word for a message it had learned before.
      line = options.SaLearnExe + " learned nothing (the message was learned before, or Bayes is off): " + said;
      ++learned.unchanged;
    } else {
      line = "learned by " + options.SaLearnExe + (said.empty() ? "" : ": " + said);
      ++learned.taught;
    }
  } catch (const Error& error) {
    line = options.SaLearnExe + " could not be run: " + error.Description();
    ++learned.failed;
  }
  for (const std::string& file : {batch, output}) {
    if (fs.FileExists(file)) fs.DeleteFile(file);
  }
  learned.lines.push_back(line);
}

}  // namespace

Learned LearnMessage(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& message_file, bool spam) {
  Learned learned;
  if (!options.SpamdHosts.empty()) {
    for (const SpamdHost& host : options.SpamdHosts) {
      try {
        if (TellSpamd(platform, fs, host, message_file, spam, options.SpamdTimeout)) {
          learned.lines.push_back("learned by " + SpamdHostName(host));
          ++learned.taught;
        } else {
          learned.lines.push_back(SpamdHostName(host) +
                                  " learned nothing (its answer carries no DidSet: the message was learned before, or Bayes is off there)");
          ++learned.unchanged;
        }
      } catch (const Error& error) {
        learned.lines.push_back(error.Description());
        ++learned.failed;
      }
    }
  } else if (!options.SaLearnExe.empty()) {
    RunLearningProgram(platform, fs, options, message_file, spam, learned);
  } else {
    learned.lines.push_back("nothing can learn it: set SPAMDHOSTS (spamd with --allow-tell) or SALEARNEXE (sa-learn)");
    ++learned.failed;
  }
  return learned;
}

}  // namespace saplugin
