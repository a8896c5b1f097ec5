#include "check/config_outline.h"

#include <algorithm>
#include <cctype>

namespace saplugin {

namespace {

// The blanks that the profile reader drops around names.
std::string Trim(const std::string& text) {
  const char* const blanks = " \t\r\n\v\f\x1a";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) + 1 - first);
}

// Long enough for a key's name however long its value (SPAMDHOSTS is read whole).
constexpr std::size_t kLongestLine = 40000;

}  // namespace

bool SameProfileName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

ConfigOutline ReadConfigOutline(FileSystem& fs, const std::string& file) {
  ConfigOutline outline;
  outline.sections.emplace_back();
  auto reader = fs.OpenTextFileForReading(file);
  int number = 0;
  bool ended = false;
  while (!ended && !reader->AtEndOfStream()) {
    std::string text = reader->ReadLine(kLongestLine);
    if (number == 0 && text.compare(0, 2, "\xFF\xFE") == 0) {
      outline.utf16 = true;
      break;
    }
    if (number == 0 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    // The reader reads no further than a NUL.
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) {
      text.erase(nul);
      ended = true;
    }
    // A carriage return alone ends a line too.
    for (std::size_t start = 0; start <= text.size();) {
      const std::size_t end = std::min(text.find('\r', start), text.size());
      const std::string line = Trim(text.substr(start, end - start));
      start = end + 1;
      ++number;
      if (line.empty() || line[0] == ';') continue;
      if (line[0] == '[') {
        // Without its "]", the line is no section and no key: the lines go on in the section before.
        if (line.rfind(']') == std::string::npos) continue;
        OutlineSection section;
        section.name = Trim(line.substr(1, line.rfind(']') - 1));
        section.line = number;
        for (const OutlineSection& before : outline.sections) {
          if (before.line > 0 && before.first_line == 0 && SameProfileName(before.name, section.name)) section.first_line = before.line;
        }
        outline.sections.push_back(section);
        continue;
      }
      const std::size_t equals = line.find('=');
      outline.sections.back().keys.push_back({Trim(line.substr(0, equals)), number, equals != std::string::npos});
    }
  }
  reader->Close();
  return outline;
}

}  // namespace saplugin
