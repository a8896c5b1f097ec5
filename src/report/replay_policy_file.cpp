#include "report/replay_policy_file.h"

#include "config/conversions.h"
#include "config/load_options.h"
#include "platform/text.h"

namespace saplugin {

namespace {

// The most connector sections read ahead; more are read as their lines come.
constexpr std::size_t kSectionsReadAhead = 1000;

}  // namespace

ReplayPolicyFile::ReplayPolicyFile(Platform& platform, const std::string& file, const std::string& quarantine_in_use)
    : platform_(platform), file_(file) {
  auto fs = platform.CreateFileSystem();
  if (!fs->FileExists(file)) throw Error(kErrorFileNotFound, "usage", "the policy file " + file + " does not exist");
  std::string own;
  try {
    main_sets_keys = LoadPolicy(platform, file, kConfigSection, main_);
    own = ReadWholeSetting(platform, file, "QUARANTINEPATH");
  } catch (const Error& error) {
    throw Error(error.Number(), "usage", "the policy file " + file + ": [" + kConfigSection + "] " + error.Description());
  }
  // Quarantining needs a folder: the file's, else the one in use, so that a
  // file may hold the policy's keys alone.
  main_.QuarantinePath = own.empty() ? quarantine_in_use : own;
  quarantine_note = !own.empty() ? "QUARANTINEPATH as " + file + " names it."
                    : !quarantine_in_use.empty()
                        ? file + " names no QUARANTINEPATH: the quarantine in use (" + quarantine_in_use + ") stands for it."
                        : "Neither " + file + " nor the configuration in use names a QUARANTINEPATH: as in a run without a quarantine "
                          "folder, QUARANTINE counts as 0 (tag), and spam that HIGHSCOREACTION would quarantine is tagged.";
  if (main_.QuarantinePath.empty()) main_.Quarantine = 0;

  // The connector sections, from the file's lines: "[Connector NAME]".
  auto reader = fs->OpenTextFileForReading(file);
  const std::string prefix = kConnectorSectionPrefix;
  while (!reader->AtEndOfStream() && connectors.size() < kSectionsReadAhead) {
    std::string line = Trim(reader->ReadLine(4096), " ");
    const std::size_t end = line.find(']');
    if (line.empty() || line[0] != '[' || end == std::string::npos) continue;
    const std::string section = Trim(line.substr(1, end - 1), " ");
    if (section.size() > prefix.size() && StartsWithIgnoringCase(section, prefix)) connectors.push_back(section.substr(prefix.size()));
  }
  reader->Close();
  for (const std::string& connector : connectors) For(connector);
}

PluginOptions ReplayPolicyFile::For(const std::string& connector) const {
  PluginOptions policy = main_;
  try {
    LoadConnectorOptions(platform_, file_, connector, policy);
  } catch (const Error& error) {
    throw Error(error.Number(), "usage", "the policy file " + file_ + ": " + error.Description());
  }
  return policy;
}

}  // namespace saplugin
