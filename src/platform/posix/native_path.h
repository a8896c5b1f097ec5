#pragma once

#include <algorithm>
#include <string>

namespace saplugin {

// Where a path text meets the OS, every "\" becomes "/".
inline std::string ToNativePath(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

}  // namespace saplugin
