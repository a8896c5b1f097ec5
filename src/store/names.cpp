#include "store/names.h"

#include <cctype>

#include "helpers/make_run_name.h"
#include "platform/text.h"

namespace saplugin {

namespace {

bool AllOf(const std::string& text, std::size_t from, int (*test)(int)) {
  for (std::size_t i = from; i < text.size(); ++i) {
    if (!test(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace

bool IsRunName(const std::string& text) {
  if (text.size() == 32) return AllOf(text, 0, std::isxdigit);
  const std::string fallback = kFallbackRunName;
  if (text.compare(0, fallback.size(), fallback) != 0) return false;
  if (text.size() == fallback.size()) return true;
  return text.size() > fallback.size() + 1 && text.size() <= fallback.size() + 7 && text[fallback.size()] == '-' &&
         text[fallback.size() + 1] != '0' && AllOf(text, fallback.size() + 1, std::isdigit);
}

std::string CanonicalRunName(std::string text) { return UpperCase(std::move(text)); }

bool IsSingleName(const std::string& text) {
  if (text.empty() || text.find("..") != std::string::npos || text.back() == '.' || text.back() == ' ') return false;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || std::string("\\/:*?\"<>|").find(c) != std::string::npos) return false;
  }
  // Windows opens a device for its name with any extension, and ignores
  // blanks before the extension ("NUL .txt").
  std::string stem = UpperCase(text.substr(0, text.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return false;
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) && stem[3] >= '1' && stem[3] <= '9') {
    return false;
  }
  return true;
}

}  // namespace saplugin
