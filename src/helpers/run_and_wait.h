#pragma once

#include <optional>
#include <string>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// The longest pause between two passes of the wait.
constexpr unsigned kPollMilliseconds = 100;

// Runs TempPath + run_name + ".BAT" through the command interpreter named by
// the environment variable "comspec", hidden, and returns when it has ended,
// with its exit status (which it never judges). Every pass of the wait asks
// the child, handles pending events and, while the child runs, pauses up to
// 100 ms; the pause ends early when the child ends, so the call returns right
// after it. When ScanTimeLimit is above 0 and that many seconds have passed,
// the child and everything it started are ended and the answer is empty.
// Errors of the start pass to the caller.
std::optional<long> RunAndWait(Platform& platform, const PluginOptions& options, const std::string& run_name);

}  // namespace saplugin
