#pragma once

#include <functional>
#include <string>
#include <vector>

namespace saplugin {

// Splits the arguments of a command line by the Windows C runtime's rules:
// blanks separate words, double quotes group, 2n backslashes before a quote
// give n backslashes and the quote groups, 2n+1 give n and a literal quote;
// other backslashes are literal.
std::vector<std::string> SplitWindowsArguments(const std::string& text);

// Finds the program of a command line as CreateProcess does: the quoted text
// when it starts with a quote, else the shortest prefix ending at a blank (or
// the whole line) for which is_program answers true. Stores the program and
// the rest of the line; returns false when no prefix names a program.
bool FindProgram(const std::string& command_line,
                 const std::function<bool(const std::string&)>& is_program,
                 std::string* program, std::string* rest);

}  // namespace saplugin
