#pragma once

// sacheck's checks of the policy: the file's keys by their lines (unknown
// keys, keys a connector section cannot hold, sections runs never read), and
// the policy of the main section and of each connector section as runs use
// it, read through the profile reader and LoadConnectorOptions.

#include <optional>
#include <string>
#include <vector>

#include "check/config_outline.h"
#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// One line of sacheck's report.
struct CheckLine {
  std::string status, subject, detail;
};

// WARNING lines, each naming its line of the file, for what runs read
// otherwise than it looks: a key before any section, in a section saplugin
// does not read or in a repeat of a section; a line without "="; a key again
// in its section; a key no run reads; a key that only the main section can
// hold, in a connector section; BYPASS in the main section.
std::vector<CheckLine> CheckOutline(const ConfigOutline& outline);

// Why a KEEPORIGINAL value reads otherwise than it looks ("yes", "on":
// clean messages are tagged, since only "1" keeps them); empty for "1", "0"
// and an empty value.
std::string KeepOriginalProblem(const std::string& value);

// Why no run of the connector ever reads its section (its name holds "[" or
// "]"); empty when runs can find it.
std::string ConnectorNameProblem(const std::string& connector);

// The connectors that have a queue folder, and the folder that holds them.
struct QueueFolders {
  std::string folder;
  std::vector<std::string> names;
};

// The policy of the main section (main: the options loaded from it) and of
// each connector section laid over it: one line each, a WARNING in test
// mode. WARNING lines for a connector section with no queue folder (queues,
// when known), HIGHSCORE without HIGHSCOREACTION, and HIGHSCORE not above
// SPAMSCORE or, where the flag decides spam, above the rules' required
// score (required: the trial scan's, empty when unknown), and KEEPORIGINAL
// as KeepOriginalProblem finds it; a FAIL line for a connector section whose
// value stops that connector's runs, and for one whose SPAMDHOSTS=none sends
// its messages to a SPAMASSASSINEXE that is no program. The policy line
// names the main section's keys that a section takes away with "none".
std::vector<CheckLine> CheckPolicies(Platform& platform, const std::string& file, const ConfigOutline& outline, const PluginOptions& main,
                                     const std::optional<QueueFolders>& queues, const std::string& required);

}  // namespace saplugin
