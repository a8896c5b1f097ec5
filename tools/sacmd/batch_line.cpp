#include "batch_line.h"

#include "platform/posix/process_start.h"

namespace sacmd {

// The Windows interpreter reads a line in two steps, and so does this one: it
// takes out the redirections (every double quote opens or closes a quoted
// part, backslashes or not), then the program reads what is left of the line
// by the C runtime's rules, where backslashes before a quote count.
bool ParseBatchLine(const std::string& line, Command* command, std::string* reason) {
  *command = Command();
  std::string rest;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size();) {
    const char c = line[i];
    if (quoted || (c != '<' && c != '>')) {
      if (c == '"') quoted = !quoted;
      rest.push_back(c);
      ++i;
      continue;
    }
    // A redirection: its file is the next word, its quotes taken out.
    ++i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::string file;
    bool in_file = false, file_quoted = false;
    for (; i < line.size(); ++i) {
      const char f = line[i];
      if (!file_quoted && (f == ' ' || f == '\t' || f == '<' || f == '>')) break;
      in_file = true;
      if (f == '"') {
        file_quoted = !file_quoted;
      } else {
        file.push_back(f);
      }
    }
    if (!in_file) {
      *reason = i < line.size() ? "a redirection sign stands where a file name should be" : "a redirection sign is not followed by a file name";
      return false;
    }
    if (file_quoted) {
      *reason = "a double quote is not closed";
      return false;
    }
    (c == '<' ? command->input : command->output) = file;
    (c == '<' ? command->has_input : command->has_output) = true;
    rest.push_back(' ');
  }
  if (quoted) {
    *reason = "a double quote is not closed";
    return false;
  }
  command->words = saplugin::SplitWindowsArguments(rest);
  if (command->words.empty() && (command->has_input || command->has_output)) {
    *reason = "redirections without a command";
    return false;
  }
  return true;
}

}  // namespace sacmd
