#pragma once

#include <string>

namespace saplugin {

// UTF-16LE text as narrow text, as an ANSI call on a Western system gives it
// (code page 1252, whose upper half matches Latin-1 from 0xA0 on; "?" for the
// rest).
inline std::string NarrowUtf16Le(const std::string& bytes) {
  std::string narrow;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const unsigned unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
    narrow.push_back(static_cast<char>(unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF) ? unit : '?'));
  }
  return narrow;
}

}  // namespace saplugin
