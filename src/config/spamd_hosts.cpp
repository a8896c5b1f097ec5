#include "config/spamd_hosts.h"

#include "config/conversions.h"
#include "platform/error.h"
#include "platform/text.h"

namespace saplugin {

namespace {

// The problem of one entry's port text, or empty for a port from 1 to 65535
// written with at most five digits.
std::string PortProblem(const std::string& port) {
  if (port.empty()) return "its port is missing after the colon";
  const std::optional<std::int64_t> number = ReadDigits(port, 5);
  if (!number) return "its port \"" + port + "\" is no number";
  if (*number < 1 || *number > 65535) return "its port " + port + " is outside 1 to 65535";
  return "";
}

// Reads one entry into host; answers what is wrong with it, or empty.
std::string ParseEntry(const std::string& entry, SpamdHost* host) {
  if (entry.empty()) return "it is empty";
  std::string rest;
  if (entry[0] == '[') {
    const std::size_t close = entry.find(']');
    if (close == std::string::npos) return "its IPv6 address lacks the closing bracket";
    host->host = entry.substr(1, close - 1);
    if (host->host.empty() || host->host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos ||
        host->host.find(':') == std::string::npos) {
      return "\"" + host->host + "\" in brackets is no IPv6 address";
    }
    rest = entry.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return "only \":port\" may follow the brackets";
  } else {
    const std::size_t colon = entry.find(':');
    host->host = entry.substr(0, colon);
    if (colon != std::string::npos) rest = entry.substr(colon);
    if (rest.find(':', 1) != std::string::npos) {
      return "it holds more than one colon (an IPv6 address stands in brackets, as [::1]:783)";
    }
    if (host->host.empty()) return "its host is missing";
    if (host->host.find_first_of(" \t[]") != std::string::npos) return "its host holds a blank or a bracket";
  }
  if (rest.empty()) return "";
  const std::string problem = PortProblem(rest.substr(1));
  if (problem.empty()) host->port = static_cast<std::uint16_t>(*ReadDigits(rest.substr(1), 5));
  return problem;
}

}  // namespace

std::vector<SpamdHost> ParseSpamdHosts(const std::string& text, const std::string& label) {
  std::vector<SpamdHost> hosts;
  std::size_t start = 0;
  for (std::size_t n = 1;; ++n) {
    const std::size_t comma = text.find(',', start);
    const std::string entry = Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start), " ");
    SpamdHost host;
    const std::string problem = ParseEntry(entry, &host);
    if (!problem.empty()) {
      throw SettingError(kErrorTypeMismatch, "SPAMDHOSTS",
                         "Type mismatch: " + label + "SPAMDHOSTS \"" + text + "\": host entry " + std::to_string(n) + " \"" + entry +
                             "\" is no host or host:port: " + problem);
    }
    hosts.push_back(host);
    if (comma == std::string::npos) return hosts;
    start = comma + 1;
  }
}

SpamdHost ParseServer(const std::string& text, const char* key, std::uint16_t default_port) {
  SpamdHost host;
  host.port = default_port;
  const std::string entry = Trim(text, " ");
  const std::string problem = entry.find(',') != std::string::npos ? "it names more than one host" : ParseEntry(entry, &host);
  if (!problem.empty()) {
    throw SettingError(kErrorTypeMismatch, key, std::string("Type mismatch: ") + key + " \"" + text + "\" is no host or host:port: " + problem);
  }
  return host;
}

std::string SpamdHostName(const SpamdHost& host) {
  const bool ipv6 = host.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host.host + "]" : host.host) + ":" + std::to_string(host.port);
}

}  // namespace saplugin
