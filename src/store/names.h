#pragma once

#include <string>

namespace saplugin {

// True for a run name, the only thing that names a quarantined message: 32
// hexadecimal digits in either case, the fixed fallback name, or the fallback
// name with "-" and a number (a run that found the fallback name taken).
bool IsRunName(const std::string& text);

// The run name as the run wrote it: its letters in upper case.
std::string CanonicalRunName(std::string text);

// True when the text can stand as one file name inside a folder on Windows
// and POSIX alike, and so as a connector's or a queued message's name: not
// empty, no separator or character that Windows refuses, no control
// character, no ".." anywhere, no trailing dot or blank, and no device name
// (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, with or without an
// extension, in any case).
bool IsSingleName(const std::string& text);

}  // namespace saplugin
