#include "batch_line.h"

namespace sacmd {

namespace {

enum class Target { kWord, kInput, kOutput };

}  // namespace

bool ParseBatchLine(const std::string& line, Command* command, std::string* reason) {
  *command = Command();
  std::string word;
  bool in_word = false;
  bool quoted = false;
  Target target = Target::kWord;

  auto finish_word = [&]() -> bool {
    if (!in_word) return true;
    switch (target) {
      case Target::kWord:
        command->words.push_back(word);
        break;
      case Target::kInput:
        command->input = word;
        command->has_input = true;
        break;
      case Target::kOutput:
        command->output = word;
        command->has_output = true;
        break;
    }
    word.clear();
    in_word = false;
    target = Target::kWord;
    return true;
  };

  for (char c : line) {
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else {
        word.push_back(c);
      }
      continue;
    }
    if (c == '"') {
      quoted = true;
      in_word = true;
    } else if (c == ' ' || c == '\t') {
      finish_word();
    } else if (c == '<' || c == '>') {
      finish_word();
      if (target != Target::kWord) {
        *reason = "a redirection sign stands where a file name should be";
        return false;
      }
      target = c == '<' ? Target::kInput : Target::kOutput;
    } else {
      word.push_back(c);
      in_word = true;
    }
  }
  if (quoted) {
    *reason = "a double quote is not closed";
    return false;
  }
  finish_word();
  if (target != Target::kWord) {
    *reason = "a redirection sign is not followed by a file name";
    return false;
  }
  if (command->words.empty() && (command->has_input || command->has_output)) {
    *reason = "redirections without a command";
    return false;
  }
  return true;
}

}  // namespace sacmd
