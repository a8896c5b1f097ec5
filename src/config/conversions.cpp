#include "config/conversions.h"

#include <cstdlib>
#include <limits>

#include "platform/error.h"

namespace saplugin {

namespace {

// The end of the run of digits that starts at text[i].
std::size_t DigitsEnd(const std::string& text, std::size_t i) {
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  return i;
}

}  // namespace

std::optional<double> ReadDecimal(const std::string& text, DecimalBound bound) {
  const std::size_t whole = !text.empty() && text[0] == '-' ? 1 : 0;
  std::size_t end = DigitsEnd(text, whole);
  if (end == whole || end - whole > bound.whole) return std::nullopt;
  if (end < text.size() && text[end] == '.') {
    const std::size_t fraction = end + 1;
    end = DigitsEnd(text, fraction);
    if (end == fraction || end - fraction > bound.fraction) return std::nullopt;
  }
  if (end != text.size()) return std::nullopt;
  return std::strtod(text.c_str(), nullptr);
}

std::optional<std::int64_t> ReadDigits(const std::string& text, std::size_t most_digits) {
  if (text.empty() || text.size() > most_digits || DigitsEnd(text, 0) != text.size()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) value = value * 10 + (c - '0');
  return value;
}

namespace {

// Parses into a 64-bit value, saturating long digit runs so that any number of
// digits stays an overflow rather than wrapping.
std::int64_t ToInteger(const std::string& text, std::int64_t min, std::int64_t max, const std::string& key,
                       const std::string& label) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) {
    throw SettingError(kErrorTypeMismatch, key,
        "Type mismatch: " + label + key + " \"" + text + "\" is not a whole number");
  }
  const std::int64_t limit = std::numeric_limits<std::int64_t>::max() / 10;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') {
      throw SettingError(kErrorTypeMismatch, key,
          "Type mismatch: " + label + key + " \"" + text + "\" is not a whole number");
    }
    if (value < limit) value = value * 10 + (c - '0');
  }
  if (negative) value = -value;
  if (value < min || value > max) {
    throw SettingError(kErrorOverflow, key,
        "Overflow: " + label + key + " \"" + text + "\" is outside the range " +
            std::to_string(min) + " to " + std::to_string(max));
  }
  return value;
}

}  // namespace

std::int16_t ToInteger16(const std::string& text, const std::string& key, const std::string& label) {
  return static_cast<std::int16_t>(ToInteger(text, std::numeric_limits<std::int16_t>::min(),
                                             std::numeric_limits<std::int16_t>::max(), key, label));
}

std::int32_t ToInteger32(const std::string& text, const std::string& key, const std::string& label) {
  return static_cast<std::int32_t>(ToInteger(text, std::numeric_limits<std::int32_t>::min(),
                                             std::numeric_limits<std::int32_t>::max(), key, label));
}

double ToScore(const std::string& text, const std::string& key, const std::string& label) {
  const std::optional<double> score = ReadDecimal(text, {9, 9});
  if (!score) {
    throw SettingError(kErrorTypeMismatch, key,
        "Type mismatch: " + label + key + " \"" + text + "\" is not a score (a number such as 8 or 6.5, with a point)");
  }
  return *score;
}

bool ToSwitch(const std::string& text, const std::string& key, const std::string& label) {
  if (text != "0" && text != "1") {
    throw SettingError(kErrorTypeMismatch, key,
        "Type mismatch: " + label + key + " \"" + text + "\" is not 0 or 1 (write 1 to turn it on, 0 to leave it off)");
  }
  return text == "1";
}

std::string SecondsText(long long seconds) { return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds"); }

}  // namespace saplugin
