#include "platform/posix/posix_error.h"

#include <cstring>

namespace saplugin {

Error PosixError(const std::string& context, int error_number) {
  return Error(error_number, "saplugin", context + ": " + std::strerror(error_number));
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace saplugin
