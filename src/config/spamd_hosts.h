#pragma once

#include <string>
#include <vector>

#include "config/plugin_options.h"

namespace saplugin {

// The hosts of a SPAMDHOSTS value: "host" or "host:port" (an IPv6 address in
// brackets: "[::1]:783"), separated by commas, blanks around each dropped;
// port 783 when left out. Throws Error (type mismatch) for an empty entry or
// a port that is not a whole number from 1 to 65535.
std::vector<SpamdHost> ParseSpamdHosts(const std::string& text);

// A host as the event log and sacheck name it: "host:port".
std::string SpamdHostName(const SpamdHost& host);

}  // namespace saplugin
