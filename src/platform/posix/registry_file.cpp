#include "platform/posix/registry_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <sstream>

#include "platform/error.h"

#include "platform/posix/text.h"
#include "platform/text.h"

namespace saplugin {

namespace {

// The blanks around a line's parts: spaces, tabs and carriage returns.
constexpr const char* kBlanks = " \t\r";

// Reads a quoted text starting at text[*pos] == '"' with \\ and \" escapes;
// leaves *pos after the closing quote.
bool ReadQuoted(const std::string& text, std::size_t* pos, std::string* out) {
  if (*pos >= text.size() || text[*pos] != '"') return false;
  out->clear();
  for (std::size_t i = *pos + 1; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      out->push_back(text[++i]);
    } else if (text[i] == '"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(text[i]);
    }
  }
  return false;
}

bool ParseHexBytes(const std::string& text, std::vector<std::uint8_t>* bytes) {
  bytes->clear();
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
    if (i == text.size()) break;
    std::size_t end = i;
    while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end == i || end - i > 2) return false;
    bytes->push_back(static_cast<std::uint8_t>(std::strtoul(text.substr(i, end - i).c_str(), nullptr, 16)));
    i = end;
  }
  return true;
}

// Parses the right side of a value line. Returns false when it cannot be read.
bool ParseData(const std::string& data, RegistryValue* value, bool* deletion) {
  *deletion = data == "-";
  if (*deletion) return true;
  if (!data.empty() && data[0] == '"') {
    std::size_t pos = 0;
    std::string text;
    if (!ReadQuoted(data, &pos, &text) || !Trim(data.substr(pos), kBlanks).empty()) return false;
    value->type = 1;
    value->data.assign(text.begin(), text.end());
    value->data.push_back(0);
    return true;
  }
  const std::string lower = LowerCase(data);
  if (lower.compare(0, 6, "dword:") == 0) {
    const std::string digits = data.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    for (char c : digits) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    const auto number = static_cast<std::uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
    value->type = 4;
    value->data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                   static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
    return true;
  }
  std::size_t colon = std::string::npos;
  if (lower.compare(0, 4, "hex:") == 0) {
    value->type = 3;
    colon = 3;
  } else if (lower.compare(0, 4, "hex(") == 0) {
    const auto close = lower.find("):");
    if (close == std::string::npos || close == 4) return false;
    const std::string type = lower.substr(4, close - 4);
    for (char c : type) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    if (type.size() > 8) return false;
    value->type = static_cast<std::uint32_t>(std::strtoul(type.c_str(), nullptr, 16));
    colon = close + 1;
  } else {
    return false;
  }
  return ParseHexBytes(data.substr(colon + 1), &value->data);
}

// Reads one logical line, joining the "\"-continued lines of hex data.
bool ReadLogicalLine(std::istream& text, std::string* line) {
  std::string raw;
  if (!std::getline(text, raw)) return false;
  *line = Trim(raw, kBlanks);
  while (!line->empty() && line->back() == '\\' && line->find("=hex") != std::string::npos &&
         std::getline(text, raw)) {
    line->pop_back();
    *line += Trim(raw, kBlanks);
  }
  return true;
}

}  // namespace

bool ReadRegistryKey(std::istream& file, const std::string& key_path, RegistryValues* values) {
  // "reg export" writes UTF-16LE with a byte-order mark; REGEDIT4 files and
  // hand-written ones are narrow text, perhaps with a UTF-8 mark.
  std::istringstream decoded;
  std::istream* source = &file;
  if (file.peek() == 0xFF) {
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    decoded.str(bytes.compare(0, 2, "\xFF\xFE") == 0 ? NarrowUtf16Le(bytes.substr(2)) : std::string());
    source = &decoded;
  }
  std::istream& text = *source;
  std::string line;
  ReadLogicalLine(text, &line);
  if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line = Trim(line.substr(3), kBlanks);
  const bool unicode = line == "Windows Registry Editor Version 5.00";
  if (!unicode && line != "REGEDIT4") {
    throw Error(EINVAL, "registry", "it is no registry export: its first line is neither \"Windows Registry Editor "
                                    "Version 5.00\" nor \"REGEDIT4\"");
  }

  const std::string wanted = LowerCase("HKEY_LOCAL_MACHINE\\" + key_path);
  bool found = false;
  bool in_key = false;
  values->clear();
  while (ReadLogicalLine(text, &line)) {
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const auto close = line.rfind(']');
      if (close == std::string::npos) {
        in_key = false;
        continue;
      }
      std::string name = line.substr(1, close - 1);
      const bool removal = !name.empty() && name[0] == '-';
      if (removal) name.erase(0, 1);
      name = LowerCase(name);
      in_key = !removal && name == wanted;
      // Removing the key, or a key above it, removes what was read so far.
      if (removal && (name == wanted || wanted.compare(0, name.size() + 1, name + "\\") == 0)) {
        values->clear();
        found = false;
      }
      found = found || in_key;
      continue;
    }
    if (!in_key) continue;
    std::string name;
    std::size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (!ReadQuoted(line, &pos, &name)) {
      continue;
    }
    const auto equals = line.find_first_not_of(" \t", pos);
    if (equals == std::string::npos || line[equals] != '=') continue;
    RegistryValue value;
    bool deletion = false;
    if (!ParseData(Trim(line.substr(equals + 1), kBlanks), &value, &deletion)) continue;
    // A version 5.00 file holds the hex data of text values as UTF-16LE.
    if (unicode && line.find("=hex(") != std::string::npos && (value.type == 1 || value.type == 2)) {
      const std::string narrow = NarrowUtf16Le(std::string(value.data.begin(), value.data.end()));
      value.data.assign(narrow.begin(), narrow.end());
    }
    if (deletion) {
      values->erase(LowerCase(name));
    } else {
      (*values)[LowerCase(name)] = value;
    }
  }
  return found;
}

}  // namespace saplugin
