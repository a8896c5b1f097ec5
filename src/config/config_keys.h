#pragma once

// Every key of the configuration file in one table: where it may stand, what
// its value takes and how it sets the options. The loader, sacheck and the
// replay's policy file all read keys through it, so that none of them can
// take a key that the others do not know.

#include <string>

#include "config/plugin_options.h"

namespace saplugin {

// The sections a key belongs in.
enum KeyPlace : unsigned { kInMainSection = 1, kInConnectorSection = 2 };

struct ConfigKey {
  const char* name;
  unsigned places;  // KeyPlace bits
  // A key of the policy (what happens to a message), read by LoadPolicy; its
  // value is checked in every section, even one it does nothing in.
  bool policy;
  // Sets the key's value (trimmed, never empty: an empty value sets nothing)
  // into options. label names a connector's section in an error
  // ("[Connector SMTP] "); connector says which kind of section it stands in
  // (a key sets nothing where it does not belong). Throws SettingError for a
  // value that does not convert.
  void (*set)(PluginOptions& options, const std::string& value, const std::string& label, bool connector);
};

// Every key, in the order a load reads them (the first bad one stops it):
// for (const ConfigKey& key : ConfigKeys()).
struct ConfigKeys {
  const ConfigKey* begin() const;
  const ConfigKey* end() const;
};

// The key of that name in any letter case; nullptr for a name no program reads.
const ConfigKey* FindConfigKey(const std::string& name);

// Whether the key does something in that kind of section.
bool BelongsIn(const ConfigKey& key, bool connector);

}  // namespace saplugin
