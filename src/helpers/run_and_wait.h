#pragma once

#include <string>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// Milliseconds slept on every pass of the wait.
constexpr unsigned kPollMilliseconds = 100;

// Runs TempPath + run_name + ".BAT" through the command interpreter named by
// the environment variable "comspec", hidden, and returns when it has ended,
// with its exit status (which it never judges). Every pass of the wait asks
// the child, handles pending events and sleeps 100 ms, so it returns 100 to
// 200 ms after the child's end. Errors of the start pass to the caller.
long RunAndWait(Platform& platform, const PluginOptions& options, const std::string& run_name);

}  // namespace saplugin
