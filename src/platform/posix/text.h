#pragma once

#include <cctype>
#include <string>

namespace saplugin {

// The text without the blanks (spaces, tabs, carriage returns) around it.
inline std::string TrimBlanks(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

inline std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace saplugin
