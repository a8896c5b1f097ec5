#pragma once

#include <string>

namespace saplugin {

// Joins a folder path and a name with exactly one separator between them: a
// path that already ends with "\" (or "/") gets none added.
inline std::string BuildPath(const std::string& path, const std::string& name) {
  if (path.empty() || path.back() == '\\' || path.back() == '/') return path + name;
  return path + "\\" + name;
}

}  // namespace saplugin
