#pragma once

#include <string>
#include <vector>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

// What teaching one message did: one line per spamd host or per run of the
// learning program, and how many of them learned it, learned nothing new
// (it was learned before, or Bayes is off there), or failed.
struct Learned {
  int taught = 0, unchanged = 0, failed = 0;
  std::vector<std::string> lines;
};

// Teaches SpamAssassin the message file as spam or ham: with SPAMDHOSTS, every
// host of the pool (each keeps its own Bayes database unless the site shares
// one), each counted only when it says it learned it; else the learning
// program SALEARNEXE, run hidden through the interpreter as the filter is
// (its word --spam or --ham, the message on its standard input), counted when it ends with
// status 0, as unchanged when it says it learned from 0 messages. Never throws for a host or program that fails: its line says why.
Learned LearnMessage(Platform& platform, FileSystem& fs, const PluginOptions& options, const std::string& message_file, bool spam);

}  // namespace saplugin
