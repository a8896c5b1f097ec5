#pragma once

// The policy that sareport --policy replays: a configuration file's main
// section over the defaults, and a connector's section over that, as runs
// with that file would take them.

#include <string>
#include <vector>

#include "config/plugin_options.h"
#include "platform/platform.h"

namespace saplugin {

class ReplayPolicyFile {
 public:
  // Reads the file's main section, and every connector section that it
  // holds, so that a value that does not convert is named before any log is
  // read. quarantine_in_use: the QUARANTINEPATH of the configuration in use,
  // which stands when the file names none. Throws Error naming the file, and
  // the section, the key and the value of a value that does not convert.
  ReplayPolicyFile(Platform& platform, const std::string& file, const std::string& quarantine_in_use);

  // The policy for a connector's messages (its section matched without
  // regard to case, as the profile reader matches sections).
  PluginOptions For(const std::string& connector) const;

  const std::string& File() const { return file_; }
  const PluginOptions& Main() const { return main_; }

  // Where the quarantine folder comes from, in words.
  std::string quarantine_note;
  // The connectors the file has a section for, as it names them.
  std::vector<std::string> connectors;
  // False when the main section sets none of the policy's keys.
  bool main_sets_keys = false;

 private:
  Platform& platform_;
  std::string file_;
  PluginOptions main_;
};

}  // namespace saplugin
