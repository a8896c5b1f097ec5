#pragma once

// The configuration file's sections and keys with their line numbers, read
// by the profile reader's rules, so that sacheck can name the line of a key
// that runs ignore or that holds a bad value. Values are not kept: they are
// read through the profile reader, as runs read them.

#include <string>
#include <vector>

#include "platform/platform.h"

namespace saplugin {

struct OutlineKey {
  std::string name;  // as written, trimmed
  int line = 0;
  bool has_equals = true;  // a line without "=" is no key=value line: runs never read it
};

struct OutlineSection {
  std::string name;  // between the brackets, trimmed; empty for the lines before any section
  int line = 0;
  // The line of the section's first occurrence when this one repeats it
  // (the profile reader reads only the first); 0 otherwise.
  int first_line = 0;
  std::vector<OutlineKey> keys;
};

struct ConfigOutline {
  // The first holds the keys before any section header.
  std::vector<OutlineSection> sections;
  // Written in UTF-16: line numbers are not read.
  bool utf16 = false;
};

// Reads the file line by line: blanks around names dropped, ";" lines
// skipped, a "[" line without "]" no section, the text ending at its first
// NUL, a byte-order mark dropped. Throws Error when the file cannot be read.
ConfigOutline ReadConfigOutline(FileSystem& fs, const std::string& file);

}  // namespace saplugin
