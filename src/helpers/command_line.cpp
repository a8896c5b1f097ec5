#include "helpers/command_line.h"

namespace saplugin {

std::optional<int> ParseCommandLine(CLI::App& app, const std::vector<std::string>& words, std::ostream& out, std::ostream& err,
                                    int usage_status) {
  // CLI11 takes the words last first.
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  try {
    app.parse(reversed);
    return std::nullopt;
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err) == 0 ? 0 : usage_status;
  }
}

}  // namespace saplugin
