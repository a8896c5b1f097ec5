#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace saplugin {

// Looks a key up in INI text as the Windows profile calls do: UTF-16LE text
// with its byte-order mark read as an ANSI call gives it, a UTF-8 mark
// skipped, the text ending at a NUL; lines ended by CR LF, LF or CR alone;
// blanks around names and values dropped; lines starting with ";" ignored; a
// section line "[NAME]" closed by its last "]" (a line without one opens no
// section); names matched without regard to case, where only the first
// section of a name counts and the first line of a key in it decides. Stores
// the value with its quotes; returns false when the section or the key is
// missing, or the key's line has no "=".
bool FindProfileValue(std::istream& text, const std::string& section, const std::string& key, std::string* value);

// The names of the section's keys, in the order of their lines, as the
// profile call lists them when it is given no key name: the lines of the
// section's first occurrence that hold a "=", up to one with an empty name;
// the section's name matched as given, blanks and all.
std::vector<std::string> ProfileKeyNames(std::istream& text, const std::string& section);

// The value as the profile call puts it into a buffer of size characters: one
// pair of matching quotes dropped, cut to size - 1 characters; and, as Windows
// does, a quoted value that fills the buffer loses its last character too.
std::string CutProfileValue(const std::string& value, std::uint32_t size);

}  // namespace saplugin
