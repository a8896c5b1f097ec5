#include "files.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace saplugin {

namespace fs = std::filesystem;

TempFolder::TempFolder(const std::string& base) {
  std::random_device seed;
  const fs::path parent = base.empty() ? fs::temp_directory_path() : fs::path(base);
  for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
    const fs::path candidate = parent / ("saplugin test " + std::to_string(seed()));
    if (fs::create_directory(candidate)) path = candidate.generic_string();
  }
  if (path.empty()) throw std::runtime_error("cannot make a folder in " + parent.string());
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator(path, ignored)) {
    fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ignored);
  }
  fs::remove_all(path, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
  if (!(std::ofstream(path, std::ios::binary) << content)) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : "<missing>";
}

bool Exists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
}

void MakeFolders(const std::string& path) { fs::create_directories(path); }

std::set<std::string> FilesIn(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    if (entry.is_regular_file()) names.insert(entry.path().filename().string());
  }
  return names;
}

void SetReadOnly(const std::string& path) {
  // r-x for all: the write bits go, whatever the execute bits say.
  fs::permissions(path, fs::perms::all & ~fs::perms::owner_write & ~fs::perms::group_write & ~fs::perms::others_write);
}

}  // namespace saplugin
