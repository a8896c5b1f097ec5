#pragma once

// Real folders and files for tests, on every platform.

#include <set>
#include <string>

namespace saplugin {

// A new folder, with a blank in its name so that every path a test makes has
// one, under the system's temporary folder or under base; removed with all it
// holds (read-only files too) when the object goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& base = "");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);  // "<missing>" when it cannot be read
bool Exists(const std::string& path);
void MakeFolders(const std::string& path);
// The names of the regular files in the folder; none for a missing folder.
std::set<std::string> FilesIn(const std::string& folder);
// No write permission left: read-only as Windows sees it.
void SetReadOnly(const std::string& path);

}  // namespace saplugin
