#include "platform/posix/process_start.h"

namespace saplugin {

std::vector<std::string> SplitWindowsArguments(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if ((c == ' ' || c == '\t') && !quoted) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
      ++i;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      std::size_t count = 0;
      while (i < text.size() && text[i] == '\\') {
        ++count;
        ++i;
      }
      if (i < text.size() && text[i] == '"') {
        word.append(count / 2, '\\');
        if (count % 2 == 1) {
          word.push_back('"');
          ++i;
        }
      } else {
        word.append(count, '\\');
      }
      continue;
    }
    if (c == '"') {
      // Inside quotes, a doubled quote stands for one literal quote.
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        word.push_back('"');
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    word.push_back(c);
    ++i;
  }
  if (in_word) words.push_back(word);
  return words;
}

bool FindProgram(const std::string& command_line,
                 const std::function<bool(const std::string&)>& is_program,
                 std::string* program, std::string* rest) {
  if (!command_line.empty() && command_line[0] == '"') {
    const auto close = command_line.find('"', 1);
    *program = command_line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    *rest = close == std::string::npos ? std::string() : command_line.substr(close + 1);
    return is_program(*program);
  }
  for (std::size_t pos = 0;; ++pos) {
    pos = command_line.find_first_of(" \t", pos);
    const std::string candidate = command_line.substr(0, pos);
    if (!candidate.empty() && is_program(candidate)) {
      *program = candidate;
      *rest = pos == std::string::npos ? std::string() : command_line.substr(pos);
      return true;
    }
    if (pos == std::string::npos) return false;
  }
}

}  // namespace saplugin
