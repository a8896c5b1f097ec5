#pragma once

#include <istream>
#include <string>

namespace saplugin {

// Looks a key up in INI text by the Windows profile conventions: section and
// key names matched without regard to case, blanks around names and values
// dropped, one pair of matching quotes around a value dropped, lines starting
// with ";" ignored, LF or CR LF line ends, the first match wins. Returns false
// when the section or key is missing.
bool FindProfileValue(std::istream& text, const std::string& section, const std::string& key,
                      std::string* value);

}  // namespace saplugin
