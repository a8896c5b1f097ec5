#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"

namespace saplugin {

// A value of a setting that cannot be taken. The error names the key ("SPAMSCORE"), so that a caller can
// point at the key's line without reading the description.
class SettingError : public Error {
 public:
  SettingError(long number, std::string key, std::string description)
      : Error(number, "LoadOptions", std::move(description)), key_(std::move(key)) {}
  const std::string& Key() const { return key_; }

 private:
  std::string key_;
};

// The most digits a decimal number may have before its point and after it.
struct DecimalBound {
  std::size_t whole, fraction;
};
constexpr std::size_t kAnyDigits = static_cast<std::size_t>(-1);

// A decimal number as SpamAssassin writes a score ("8", "6.5", "-0.1": an
// optional minus, digits, and a point with digits; never a comma, a plus or
// an exponent), with no more digits than the bound allows; nothing for any
// other text.
std::optional<double> ReadDecimal(const std::string& text, DecimalBound bound);

// A count written in digits alone, at least one and at most most_digits
// (18 at the most, so that it fits); nothing for any other text.
std::optional<std::int64_t> ReadDigits(const std::string& text, std::size_t most_digits);

// A whole number of seconds as a sentence says it: "1 second", "30 seconds".
std::string SecondsText(long long seconds);

// The conversions of a setting's value below throw SettingError for the key;
// the description names the setting as label + key ("[Connector SMTP] QUARANTINE").

// Converts an optionally signed decimal integer ("42", "-7", "+007") to a
// 16-bit or 32-bit signed integer. Any other text throws error number 13 (type
// mismatch); a number outside the type's range throws error number 6
// (overflow).
std::int16_t ToInteger16(const std::string& text, const std::string& key, const std::string& label = "");
std::int32_t ToInteger32(const std::string& text, const std::string& key, const std::string& label = "");

// Converts a score as SpamAssassin writes one ("8", "6.5", "-0.1": an
// optional minus, digits, and a point with digits; never a comma) to a
// number. Any other text throws error number 13 (type mismatch).
double ToScore(const std::string& text, const std::string& key, const std::string& label = "");

// Converts a switch ("0" off, "1" on) to its state. Any other text ("yes",
// "on", "true") throws error number 13 (type mismatch), so that a switch meant
// on is never silently off.
bool ToSwitch(const std::string& text, const std::string& key, const std::string& label = "");

}  // namespace saplugin
