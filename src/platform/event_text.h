#pragma once

// The text of one event-log entry as the platform layers write it: Windows's
// ReportEvent writes no entry at all whose string is longer than it takes, so
// a longer text is cut, the same way on both platforms, and says so.

#include <cstddef>
#include <string>

namespace saplugin {

// The most characters (UTF-16 code units) that ReportEvent takes in one string.
constexpr std::size_t kLongestEventText = 31839;

namespace event_text {

// UTF-16 (Windows): a low surrogate ends a character that its high one began.
inline bool StartsCharacter(wchar_t unit) { return unit < 0xDC00 || unit > 0xDFFF; }
inline std::size_t Width(wchar_t) { return 1; }
// UTF-8 (POSIX): counted as its UTF-16 code units, as Windows would count it.
inline bool StartsCharacter(char unit) { return (static_cast<unsigned char>(unit) & 0xC0) != 0x80; }
inline std::size_t Width(char unit) {
  const auto byte = static_cast<unsigned char>(unit);
  return (byte & 0xC0) == 0x80 ? 0 : byte >= 0xF0 ? 2 : 1;
}

}  // namespace event_text

// The text whole when it has at most kLongestEventText characters; else its
// beginning, cut between two characters, and " ... (cut: N characters in
// all)", kLongestEventText characters at most together.
template <typename Char>
std::basic_string<Char> CutEventText(std::basic_string<Char> text) {
  std::size_t length = 0;
  for (const Char unit : text) length += event_text::Width(unit);
  if (length <= kLongestEventText) return text;
  const std::string note = " ... (cut: " + std::to_string(length) + " characters in all)";
  const std::size_t room = kLongestEventText - note.size();
  std::size_t end = 0, counted = 0;
  for (std::size_t i = 0; i < text.size() && counted <= room; counted += event_text::Width(text[i++])) {
    if (event_text::StartsCharacter(text[i])) end = i;
  }
  text.resize(end);
  text.append(note.begin(), note.end());
  return text;
}

}  // namespace saplugin
