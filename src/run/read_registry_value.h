#pragma once

#include <string>

#include "platform/platform.h"

namespace saplugin {

// The access mask with which the host's key is opened: read-control with the
// query, set, create-sub-key, enumerate, notify and create-link rights.
constexpr std::uint32_t kRegistryAccess = 0x2003F;

// The value below HKEY_LOCAL_MACHINE as text: a 32-bit number in decimal, any
// other type as the stored text up to its terminating NUL (or whole, when it
// was stored without one). The empty text when the key or value cannot be
// read. Never throws: each failing step is passed over.
std::string ReadRegistryValue(Platform& platform, const std::string& key_path,
                              const std::string& value_name);

}  // namespace saplugin
