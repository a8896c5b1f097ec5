#include "helpers/make_run_name.h"

#include <limits>

namespace saplugin {

const char* const kFallbackRunName = "00000000";

namespace {

// Upper-case hexadecimal digits of the bit pattern, without leading zeros.
std::string Hex(std::uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return digits;
}

std::string Field(std::uint32_t value, std::int16_t width) {
  const std::string digits = Hex(value);
  return PadWithZeros(width, static_cast<std::int16_t>(digits.size())) + digits;
}

}  // namespace

std::string PadWithZeros(std::int16_t width, std::int16_t length) {
  const int difference = width - length;
  if (difference < std::numeric_limits<std::int16_t>::min() ||
      difference > std::numeric_limits<std::int16_t>::max()) {
    throw Error(kErrorOverflow, "PadWithZeros", "Overflow: " + std::to_string(width) + " - " +
                                                    std::to_string(length));
  }
  if (difference < 0) {
    throw Error(kErrorInvalidArgument, "PadWithZeros",
                "Invalid procedure call or argument: a field of " + std::to_string(length) +
                    " characters is wider than " + std::to_string(width));
  }
  return std::string(static_cast<std::size_t>(difference), '0');
}

std::string MakeRunName(Platform& platform) {
  // Any failure falls back to the fixed name: a run name is never an error.
  try {
    Guid guid;
    if (platform.CreateGuid(&guid) != 0) return kFallbackRunName;
    std::string name = Field(guid.data1, 8) + Field(guid.data2, 4) + Field(guid.data3, 4);
    for (std::uint8_t byte : guid.data4) name += Field(byte, 2);
    return name;
  } catch (...) {
    return kFallbackRunName;
  }
}

}  // namespace saplugin
