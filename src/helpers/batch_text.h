#pragma once

#include <functional>
#include <string>

namespace saplugin {

// A path as a batch line must spell it so that the interpreter reads it back
// unchanged: every "%" doubled, since "%NAME%" is a variable even in quotes.
std::string EscapeForBatch(const std::string& path);

// A batch line as the Windows interpreter reads it before running it: "%%" is
// one "%"; "%NAME%" is the variable's value (empty when it is not set);
// "%0" to "%9" and "%*" are the batch file's arguments, of which there are
// none; a "%" with no closing one is dropped. lookup gives a variable's value.
std::string ExpandBatchText(const std::string& text, const std::function<std::string(const std::string&)>& lookup);

// The interpreter's own command line ("cmd /c ...") as it reads it: only a
// "%NAME%" whose variable is set is replaced; every other "%" stays, "%%"
// included. So a path that holds "%NAME%" of a set variable cannot be named
// there, however it is written.
std::string ExpandCommandText(const std::string& text, const std::function<std::string(const std::string&)>& lookup);

}  // namespace saplugin
