#pragma once

// sacheck's lines on the digests: whether the mail server's SMTP service
// greets, and whether the site's key that signs the release links is sound.

#include <vector>

#include "check/policy_check.h"
#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// No line when the digests are not set up (all three keys are needed).
std::vector<CheckLine> CheckDigest(Platform& platform, FileSystem& fs, const PluginOptions& options, Milliseconds timeout);

}  // namespace saplugin
