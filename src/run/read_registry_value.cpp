#include "run/read_registry_value.h"

#include <algorithm>
#include <vector>

namespace saplugin {

std::string ReadRegistryValue(Platform& platform, const std::string& key_path,
                              const std::string& value_name) {
  RegistryKey key = kNoRegistryKey;
  platform.OpenRegistryKey(key_path, kRegistryAccess, &key);

  std::uint32_t type = kRegNone;
  std::uint32_t size = 0;
  std::string result;
  if (key != kNoRegistryKey &&
      platform.QueryRegistryValue(key, value_name, &type, nullptr, &size) == kStatusSuccess) {
    if (type == kRegDword) {
      std::int32_t number = 0;
      std::uint32_t number_size = sizeof number;
      if (platform.QueryRegistryValue(key, value_name, &type, &number, &number_size) ==
          kStatusSuccess) {
        result = std::to_string(number);
      }
    } else if (size > 0) {
      std::vector<char> buffer(size, '\0');
      std::uint32_t read = size;
      if (platform.QueryRegistryValue(key, value_name, &type, buffer.data(), &read) ==
          kStatusSuccess) {
        // Up to the terminating NUL; a value stored without one keeps its last
        // character.
        const std::size_t length = read < size ? read : size;
        result.assign(buffer.data(), std::find(buffer.data(), buffer.data() + length, '\0'));
      }
    }
  }
  if (key != kNoRegistryKey) platform.CloseRegistryKey(key);
  return result;
}

}  // namespace saplugin
