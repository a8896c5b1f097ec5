#include "config/spamd_hosts.h"

#include "config/conversions.h"
#include "platform/error.h"

namespace saplugin {

std::vector<SpamdHost> ParseSpamdHosts(const std::string& text) {
  std::vector<SpamdHost> hosts;
  const auto refuse = [&](const std::string& entry) {
    return Error(kErrorTypeMismatch, "LoadOptions",
                 "Type mismatch: SPAMDHOSTS \"" + text + "\" holds \"" + entry + "\", which is no host or host:port");
  };
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string entry = TrimSpaces(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    SpamdHost host;
    // The port stands after the last colon, unless the colons are an IPv6 address's.
    const std::size_t bracket = entry.rfind(']');
    std::size_t colon = entry.rfind(':');
    if (entry[0] != '[' && entry.find(':') != colon) colon = std::string::npos;
    if (bracket != std::string::npos && colon < bracket) colon = std::string::npos;
    host.host = entry.substr(0, colon);
    if (host.host.size() > 1 && host.host.front() == '[' && host.host.back() == ']') host.host = host.host.substr(1, host.host.size() - 2);
    if (colon != std::string::npos) {
      const std::string port = entry.substr(colon + 1);
      if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 || std::stol(port) < 1 ||
          std::stol(port) > 65535) {
        throw refuse(entry);
      }
      host.port = static_cast<std::uint16_t>(std::stol(port));
    }
    if (host.host.empty() || host.host.find_first_of(" \t[]") != std::string::npos) throw refuse(entry);
    hosts.push_back(host);
    if (comma == std::string::npos) return hosts;
    start = comma + 1;
  }
}

std::string SpamdHostName(const SpamdHost& host) {
  const bool ipv6 = host.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host.host + "]" : host.host) + ":" + std::to_string(host.port);
}

}  // namespace saplugin
