#pragma once

// The replay of a policy on the page and in the console summary.

#include <ostream>
#include <string>

#include "config/plugin_options.h"
#include "report/policy_replay.h"
#include "report/replay_policy_file.h"

namespace saplugin {

// An outcome as the replay shows it: a test-mode word says so
// ("would-quarantine (test mode)").
std::string OutcomeLabel(const std::string& outcome);

// A policy in words: how spam is told, what becomes of it and of clean mail.
std::string DescribePolicy(const PluginOptions& policy);

// The page's section: the policy, outcome today against under the policy
// (in all and per connector), the messages that would change, the releases,
// the lines that cannot be replayed.
std::string ReplaySectionHtml(const PolicyReplay& replay, const ReplayPolicyFile& policy);

// The console summary's lines of the replay.
void WriteReplayText(std::ostream& out, const PolicyReplay& replay, const ReplayPolicyFile& policy);

}  // namespace saplugin
