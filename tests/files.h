#pragma once

// Real folders and files for tests, on every platform.

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

namespace saplugin {

// A new folder, with a blank in its name so that every path a test makes has
// one, under the system's temporary folder or under base; removed with all it
// holds (read-only files too) when the object goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& base = "") {
    const auto parent = base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base);
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
      const auto candidate = parent / ("saplugin test " + std::to_string(std::random_device()()));
      if (std::filesystem::create_directory(candidate)) path = candidate.generic_string();
    }
    if (path.empty()) throw std::runtime_error("cannot make a folder in " + parent.string());
  }
  ~TempFolder() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ignored)) {
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write, std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(path, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  if (!(std::ofstream(path, std::ios::binary) << content)) throw std::runtime_error("cannot write " + path);
}

// "<missing>" when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : "<missing>";
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// The names of the regular files in the folder; none for a missing folder.
inline std::set<std::string> FilesIn(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    if (entry.is_regular_file()) names.insert(entry.path().filename().string());
  }
  return names;
}

// Latin-1 text as UTF-16LE with its byte-order mark.
inline std::string Utf16(const std::string& text) {
  std::string wide = "\xFF\xFE";
  for (char c : text) wide += std::string{c, '\0'};
  return wide;
}

// No write permission left (r-x for all): read-only as Windows sees it.
inline void SetReadOnly(const std::string& path) {
  using std::filesystem::perms;
  std::filesystem::permissions(path, perms::all & ~perms::owner_write & ~perms::group_write & ~perms::others_write);
}

}  // namespace saplugin
