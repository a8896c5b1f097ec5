#pragma once

// The text rules that every floor shares, the platform layers included: one
// trim, one case fold and one cut of UTF-8 text.

#include <cctype>
#include <cstddef>
#include <string>

namespace saplugin {

// The blanks that the profile reader drops around names and values, as
// GetPrivateProfileString does.
constexpr const char* kProfileBlanks = " \t\r\n\v\f\x1a";

// The text without the characters of blanks around it.
inline std::string Trim(const std::string& text, const char* blanks) {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The one case fold, for names (profile keys and sections, registry names,
// header field names, run names): ASCII letters only, other bytes stay.
inline char FoldCase(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

inline std::string LowerCase(std::string text) {
  for (char& c : text) c = FoldCase(c);
  return text;
}

inline std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// True when the text begins with the prefix, letters compared without regard
// to their case.
inline bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (FoldCase(text[i]) != FoldCase(prefix[i])) return false;
  }
  return true;
}

inline bool SameIgnoringCase(const std::string& a, const std::string& b) { return a.size() == b.size() && StartsWithIgnoringCase(a, b); }

// The text cut to max_length bytes, and further back to the start of a UTF-8
// character that the cut would split, so that a cut-off character is never
// read as other text.
inline std::string CutAtCharacter(std::string text, std::size_t max_length) {
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

}  // namespace saplugin
