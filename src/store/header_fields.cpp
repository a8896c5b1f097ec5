#include "store/header_fields.h"

#include <cctype>
#include <sstream>


namespace saplugin {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string CutAtCharacter(std::string text, std::size_t max_length) {
  if (text.size() <= max_length) return text;
  std::size_t end = max_length;
  // The lead byte of the last character before the cut, at most three back.
  std::size_t lead = end;
  while (lead > 0 && end - lead < 3 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead > 0) {
    const auto byte = static_cast<unsigned char>(text[lead - 1]);
    const std::size_t length = byte >= 0xF0 && byte <= 0xF4 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 1;
    if (byte >= 0xC2 && byte <= 0xF4 && end - (lead - 1) < length) end = lead - 1;
  }
  text.resize(end);
  return text;
}

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) return false;
  }
  return true;
}

HeaderFieldCollector::HeaderFieldCollector(std::vector<std::string> names, std::size_t max_length)
    : names_(std::move(names)), max_length_(max_length) {}

void HeaderFieldCollector::Feed(const std::string& line) {
  std::size_t start = 0;
  std::string* target = nullptr;
  if (!line.empty() && IsBlank(line[0])) {
    target = current_;  // a continuation of the field before it
  } else {
    current_ = nullptr;
    const auto colon = line.find(':');
    if (colon == std::string::npos) return;
    for (const std::string& name : names_) {
      if (colon == name.size() && StartsWithIgnoringCase(line, name) && values_.count(name) == 0) {
        current_ = target = &values_[name];
        start = colon + 1;
      }
    }
  }
  if (target == nullptr) return;
  while (start < line.size() && IsBlank(line[start])) ++start;
  if (start == line.size()) return;
  if (!target->empty()) *target += ' ';
  target->append(line, start, std::string::npos);
  *target = CutAtCharacter(std::move(*target), max_length_);
}

std::map<std::string, std::string> ReadHeaderFields(FileSystem& fs, const std::string& file,
                                                    const std::vector<std::string>& names, std::size_t max_length) {
  HeaderFieldCollector collector(names, max_length);
  auto reader = fs.OpenTextFileForReading(file);
  while (!reader->AtEndOfStream()) {
    const std::string line = reader->ReadLine(kHeaderLineLimit);
    if (line.empty()) break;
    collector.Feed(line);
  }
  reader->Close();
  return collector.Values();
}

SpamStatus ParseSpamStatus(const std::string& value) {
  SpamStatus status;
  std::istringstream words(value);
  std::string* rules_open = nullptr;  // a rules list ending with "," goes on in the next word
  for (std::string word; words >> word;) {
    if (rules_open != nullptr && word.find('=') == std::string::npos) {
      *rules_open += word;
    } else if (word.compare(0, 6, "score=") == 0) {
      status.score = word.substr(6);
    } else if (word.compare(0, 9, "required=") == 0) {
      status.required = word.substr(9);
    } else if (word.compare(0, 6, "tests=") == 0) {
      status.rules = word.substr(6);
      rules_open = &status.rules;
    }
    if (rules_open != nullptr && (status.rules.empty() || status.rules.back() != ',')) rules_open = nullptr;
  }
  return status;
}

}  // namespace saplugin
