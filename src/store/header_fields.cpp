#include "store/header_fields.h"

#include <sstream>

#include "platform/text.h"

namespace saplugin {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

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
