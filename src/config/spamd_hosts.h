#pragma once

#include <string>
#include <vector>

#include "config/plugin_options.h"

namespace saplugin {

// The hosts of a SPAMDHOSTS value: "host" or "host:port" (an IPv6 address only
// in brackets: "[::1]:783"), separated by commas, blanks around each dropped;
// port 783 when left out. Throws SettingError (type mismatch) for the key,
// named label + "SPAMDHOSTS" with the entry by its number and text and what is
// wrong with it, for an empty entry, a second colon outside brackets, or a
// port that is not a whole number from 1 to 65535.
std::vector<SpamdHost> ParseSpamdHosts(const std::string& text, const std::string& label = "");

// One server's "host" or "host:port", as an entry of SPAMDHOSTS is written,
// default_port when left out. Throws SettingError (type mismatch) for the key.
SpamdHost ParseServer(const std::string& text, const char* key, std::uint16_t default_port);

// A host as the event log and sacheck name it: "host:port".
std::string SpamdHostName(const SpamdHost& host);

}  // namespace saplugin
