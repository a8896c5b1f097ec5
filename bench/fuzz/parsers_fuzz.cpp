// libFuzzer target for the two text parsers of the POSIX layer: the profile
// reader and the registry-file reader. The first byte picks the parser.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "platform/error.h"
#include "platform/posix/profile_file.h"
#include "platform/posix/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::istringstream text(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  if (data[0] % 2 == 0) {
    std::string value;
    saplugin::FindProfileValue(text, "SPAMASSASSIN Plugin Config", "QUARANTINEPATH", &value);
  } else {
    saplugin::RegistryValues values;
    try {
      saplugin::ReadRegistryKey(text, "SOFTWARE\\Tarkwell\\Tarkwell", &values);
    } catch (const saplugin::Error&) {
      // A text that is no registry export is refused with an error.
    }
  }
  return 0;
}
