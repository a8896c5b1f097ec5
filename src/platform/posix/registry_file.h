#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace saplugin {

struct RegistryValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;  // as the registry stores it; text ends with its NUL
};

// Values by lower-case name ("" for the default value "@").
using RegistryValues = std::map<std::string, RegistryValue>;

// Reads the values of one key from text in the format that "reg export"
// writes, UTF-16LE with a byte-order mark or narrow: a "Windows Registry Editor
// Version 5.00" or "REGEDIT4" first line,
// "[HKEY_LOCAL_MACHINE\..]" key lines, "name"="text" with \\ and \" escapes,
// "name"=dword:0000002a, hex:.. and hex(N):.. with "\" line continuations,
// and "name"=- or [-KEY] deletions. Text beyond narrow characters reads as an
// ANSI query gives it, and hex(1) and hex(2) data of a version 5.00 file are
// UTF-16LE. Key and value names match without regard to case; later lines
// override earlier ones. Returns false when the text holds no such key; throws
// Error when it is no registry export at all. Lines that cannot be read are
// passed over.
bool ReadRegistryKey(std::istream& text, const std::string& key_path, RegistryValues* values);

}  // namespace saplugin
