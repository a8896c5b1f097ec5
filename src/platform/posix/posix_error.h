#pragma once

#include <string>

#include "platform/error.h"

namespace saplugin {

// The one translator of this layer: an errno value into the thrown Error, its
// description being the context followed by the system's text for the value.
Error PosixError(const std::string& context, int error_number);

// A path text in quotes, for descriptions.
std::string Quoted(const std::string& path);

}  // namespace saplugin
