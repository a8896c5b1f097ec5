#include "platform/posix/profile_file.h"

#include <strings.h>

#include "platform/posix/text.h"

namespace saplugin {

namespace {

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

bool FindProfileValue(std::istream& text, const std::string& section, const std::string& key,
                      std::string* value) {
  const std::string wanted_section = TrimBlanks(section);
  const std::string wanted_key = TrimBlanks(key);
  bool in_section = false;
  bool first_line = true;
  std::string raw;
  while (std::getline(text, raw)) {
    if (first_line && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
    first_line = false;
    const std::string line = TrimBlanks(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const auto close = line.find(']');
      const std::string name = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
      in_section = SameName(TrimBlanks(name), wanted_section);
      continue;
    }
    if (!in_section) continue;
    const auto equals = line.find('=');
    if (!SameName(TrimBlanks(line.substr(0, equals)), wanted_key)) continue;
    std::string found = equals == std::string::npos ? std::string() : TrimBlanks(line.substr(equals + 1));
    if (found.size() >= 2 && (found[0] == '"' || found[0] == '\'') && found.back() == found[0]) {
      found = found.substr(1, found.size() - 2);
    }
    *value = found;
    return true;
  }
  return false;
}

}  // namespace saplugin
