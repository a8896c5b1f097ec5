#pragma once

// The operator's programs read their command lines with CLI11, so that help,
// errors and --version behave alike in all of them.

#include <CLI/CLI.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace saplugin {

// Parses the words after the program's name. Answers the status to end the
// program with when parsing ends it: 0 after --help or --version (printed on
// out), usage_status after a wrong command line (its message and a pointer
// to --help on err); nothing when the program goes on.
std::optional<int> ParseCommandLine(CLI::App& app, const std::vector<std::string>& words, std::ostream& out, std::ostream& err,
                                    int usage_status);

}  // namespace saplugin
