#include "helpers/batch_text.h"

namespace saplugin {

std::string EscapeForBatch(const std::string& path) {
  std::string escaped;
  for (const char c : path) {
    if (c == '%') escaped += '%';
    escaped += c;
  }
  return escaped;
}

std::string ExpandBatchText(const std::string& text, const std::function<std::string(const std::string&)>& lookup) {
  std::string expanded;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != '%') {
      expanded += text[i++];
      continue;
    }
    if (i + 1 == text.size()) break;  // a lone "%" at the end
    const char next = text[i + 1];
    if (next == '%') {
      expanded += '%';
      i += 2;
    } else if ((next >= '0' && next <= '9') || next == '*') {
      i += 2;  // an argument of the batch file: it has none
    } else {
      const std::size_t close = text.find('%', i + 1);
      if (close == std::string::npos) {
        ++i;  // no closing "%": this one is dropped
      } else {
        expanded += lookup(text.substr(i + 1, close - i - 1));
        i = close + 1;
      }
    }
  }
  return expanded;
}

std::string ExpandCommandText(const std::string& text, const std::function<std::string(const std::string&)>& lookup) {
  std::string expanded;
  std::size_t i = 0;
  for (std::size_t open; (open = text.find('%', i)) != std::string::npos;) {
    const std::size_t close = text.find('%', open + 1);
    if (close == std::string::npos) break;
    const std::string value = close > open + 1 ? lookup(text.substr(open + 1, close - open - 1)) : std::string();
    if (value.empty()) {
      // Not a set variable: the first "%" stays, and the second may open one.
      expanded += text.substr(i, close - i);
      i = close;
    } else {
      expanded += text.substr(i, open - i) + value;
      i = close + 1;
    }
  }
  return expanded + text.substr(i);
}

}  // namespace saplugin
