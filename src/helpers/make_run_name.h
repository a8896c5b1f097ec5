#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace saplugin {

// The run name used when no identifier can be had.
extern const char* const kFallbackRunName;

// The name of one run's temporary and quarantine files: a new GUID as 32
// upper-case hexadecimal digits (its usual text without braces and hyphens),
// or "00000000" when the GUID request fails or anything on the way throws.
// Never throws.
std::string MakeRunName(Platform& platform);

// (width - length) "0" characters, in 16-bit signed arithmetic. Throws Error
// 6 (overflow) when the difference leaves that range and Error 5 (invalid
// argument) when it is negative.
std::string PadWithZeros(std::int16_t width, std::int16_t length);

}  // namespace saplugin
