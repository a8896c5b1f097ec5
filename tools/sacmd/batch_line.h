#pragma once

#include <string>
#include <vector>

namespace sacmd {

// One command of a batch file.
struct Command {
  std::vector<std::string> words;  // program first
  bool has_input = false;
  std::string input;  // file for standard input
  bool has_output = false;
  std::string output;  // file for standard output
};

// Parses one batch line: words split at blanks, a double-quoted part keeps its
// blanks, and "<" or ">" outside quotes take the next word as the file for
// standard input or output. Nothing else is syntax: "$", "%", ";", "&", "|"
// and backquotes are plain characters. Returns false with a reason when the
// line cannot be parsed; an empty line gives no words.
bool ParseBatchLine(const std::string& line, Command* command, std::string* reason);

}  // namespace sacmd
