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

// Parses one batch line as the Windows interpreter and the program's C runtime
// read it: "<" or ">" outside quotes take the next word (its quotes dropped)
// as the file for standard input or output; the rest is split into words as
// the C runtime splits a command line (blanks separate, a double-quoted part
// keeps its blanks, backslashes count only before a quote). Nothing else is
// syntax: "$", "%", ";", "&", "|" and backquotes are plain characters. Returns false with a reason when the
// line cannot be parsed; an empty line gives no words.
bool ParseBatchLine(const std::string& line, Command* command, std::string* reason);

}  // namespace sacmd
