#include "check/config_outline.h"

#include <algorithm>

#include "platform/text.h"

namespace saplugin {

namespace {

// Long enough for a key's name however long its value (SPAMDHOSTS is read whole).
constexpr std::size_t kLongestLine = 40000;

}  // namespace

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
      const std::string line = Trim(text.substr(start, end - start), kProfileBlanks);
      start = end + 1;
      ++number;
      if (line.empty() || line[0] == ';') continue;
      if (line[0] == '[') {
        // Without its "]", the line is no section and no key: the lines go on in the section before.
        if (line.rfind(']') == std::string::npos) continue;
        OutlineSection section;
        section.name = Trim(line.substr(1, line.rfind(']') - 1), kProfileBlanks);
        section.line = number;
        for (const OutlineSection& before : outline.sections) {
          if (before.line > 0 && before.first_line == 0 && SameIgnoringCase(before.name, section.name)) section.first_line = before.line;
        }
        outline.sections.push_back(section);
        continue;
      }
      const std::size_t equals = line.find('=');
      outline.sections.back().keys.push_back({Trim(line.substr(0, equals), kProfileBlanks), number, equals != std::string::npos});
    }
  }
  reader->Close();
  return outline;
}

}  // namespace saplugin
