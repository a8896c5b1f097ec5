#include "platform/posix/profile_file.h"

#include <iterator>

#include "platform/posix/text.h"
#include "platform/text.h"

namespace saplugin {

namespace {

// Hands each line of the section's first occurrence (trimmed, neither empty
// nor a comment) to the visitor, until it answers false.
template <typename Visit>
void VisitSection(std::istream& file, const std::string& section, bool trim_section, Visit visit) {
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (text.compare(0, 2, "\xFF\xFE") == 0) text = NarrowUtf16Le(text.substr(2));
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  text = text.substr(0, text.find('\0'));
  const std::string wanted_section = trim_section ? Trim(section, kProfileBlanks) : section;
  // 0: before the section, 1: in its first occurrence.
  int place = 0;
  for (std::size_t start = 0; start < text.size();) {
    const auto end = text.find_first_of("\r\n", start);
    const std::string line = Trim(text.substr(start, end == std::string::npos ? std::string::npos : end - start), kProfileBlanks);
    start = end == std::string::npos ? text.size() : end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const auto close = line.rfind(']');
      if (close == std::string::npos) continue;  // no section: the lines go on in the current one
      const bool match = SameIgnoringCase(Trim(line.substr(1, close - 1), kProfileBlanks), wanted_section);
      if (place == 1) return;
      if (match && place == 0) place = 1;
      continue;
    }
    if (place == 1 && !visit(line)) return;
  }
}

}  // namespace

bool FindProfileValue(std::istream& file, const std::string& section, const std::string& key, std::string* value) {
  const std::string wanted_key = Trim(key, kProfileBlanks);
  bool found = false;
  VisitSection(file, section, true, [&](const std::string& line) {
    const auto equals = line.find('=');
    if (!SameIgnoringCase(Trim(line.substr(0, equals), kProfileBlanks), wanted_key)) return true;
    found = equals != std::string::npos;
    if (found) *value = Trim(line.substr(equals + 1), kProfileBlanks);
    return false;
  });
  return found;
}

std::vector<std::string> ProfileKeyNames(std::istream& file, const std::string& section) {
  // Windows takes the section's name as it is given here, and lists the
  // names one after the other, each ended by a NUL: an empty name ends the
  // list for whoever reads it.
  std::vector<std::string> names;
  VisitSection(file, section, false, [&](const std::string& line) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) return true;
    names.push_back(Trim(line.substr(0, equals), kProfileBlanks));
    if (!names.back().empty()) return true;
    names.pop_back();
    return false;
  });
  return names;
}

std::string CutProfileValue(const std::string& value, std::uint32_t size) {
  if (size == 0) return std::string();
  std::string rest = value;
  const bool quoted = rest.size() >= 2 && (rest[0] == '"' || rest[0] == '\'') && rest.back() == rest[0];
  if (quoted) rest.erase(0, 1);
  std::string cut = rest.substr(0, size - 1);
  // The closing quote goes, or, when the value fills the buffer, its last character.
  if (quoted && !cut.empty() && size >= rest.size()) cut.pop_back();
  return cut;
}

}  // namespace saplugin
