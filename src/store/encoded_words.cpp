#include "store/encoded_words.h"

#include <cctype>
#include <optional>

#include "platform/text.h"
#include "store/scan_log.h"

namespace saplugin {

namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  return c == '+' ? 62 : c == '/' ? 63 : -1;
}

std::optional<std::string> Base64(const std::string& text) {
  std::string bytes;
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=') break;
    const int value = Base64Value(c);
    if (value < 0) return std::nullopt;
    bits = bits << 6 | static_cast<unsigned>(value);
    if ((count += 6) >= 8) {
      count -= 8;
      bytes += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return bytes;
}

std::optional<std::string> QuotedPrintable(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      bytes += ' ';
    } else if (text[i] == '=') {
      if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        return std::nullopt;
      }
      bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

// The encoded word that starts at text[at], decoded, and its length.
std::optional<std::pair<std::string, std::size_t>> EncodedWord(const std::string& text, std::size_t at) {
  if (text.compare(at, 2, "=?") != 0) return std::nullopt;
  const std::size_t charset_end = text.find('?', at + 2);
  if (charset_end == std::string::npos || charset_end + 2 >= text.size() || text[charset_end + 2] != '?') return std::nullopt;
  const std::size_t end = text.find("?=", charset_end + 3);
  if (end == std::string::npos) return std::nullopt;
  // "charset*language" (RFC 2231) names the charset first.
  std::string charset = text.substr(at + 2, charset_end - at - 2);
  charset = LowerCase(charset.substr(0, charset.find('*')));
  const char encoding = FoldCase(text[charset_end + 1]);
  const std::string payload = text.substr(charset_end + 3, end - charset_end - 3);
  if (payload.find(' ') != std::string::npos) return std::nullopt;
  const std::optional<std::string> bytes = encoding == 'b' ? Base64(payload) : encoding == 'q' ? QuotedPrintable(payload) : std::nullopt;
  if (!bytes) return std::nullopt;
  const std::optional<std::string> decoded = charset == "utf-8" || charset == "utf8" ? std::optional<std::string>(*bytes)
                                                                                     : SingleByteToUtf8(*bytes, charset);
  if (!decoded) return std::nullopt;
  return std::pair{*decoded, end + 2 - at};
}

}  // namespace

std::string DecodeEncodedWords(const std::string& text) {
  std::string result;
  std::size_t blanks_from = std::string::npos;  // where blanks after an encoded word began in result
  for (std::size_t i = 0; i < text.size();) {
    if (const auto word = EncodedWord(text, i)) {
      // Blanks between two encoded words are no part of the text.
      if (blanks_from != std::string::npos) result.erase(blanks_from);
      result += word->first;
      i += word->second;
      blanks_from = result.size();
      continue;
    }
    if (text[i] != ' ' && text[i] != '\t') blanks_from = std::string::npos;
    result += text[i++];
  }
  return DisplayText(result);
}

}  // namespace saplugin
