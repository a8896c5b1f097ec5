#include "fake_platform.h"

#include <algorithm>
#include <cstring>

#include "config/load_options.h"

namespace saplugin {

namespace {

std::string WithoutTrailingSeparator(std::string path) {
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

Error FakeError(const std::string& operation, const std::string& path) {
  return Error(70, "Fake", operation + " failed for \"" + path + "\"");
}

class FakeTextWriter : public TextWriter {
 public:
  FakeTextWriter(FakePlatform* platform, std::string path)
      : platform_(platform), path_(std::move(path)) {}
  void WriteLine(const std::string& text) override {
    platform_->Record("WriteLine", path_);
    platform_->files[path_].content += text + "\r\n";
  }
  void Close() override {}

 private:
  FakePlatform* platform_;
  std::string path_;
};

class FakeTextReader : public TextReader {
 public:
  FakeTextReader(FakePlatform* platform, std::string path, std::string content)
      : platform_(platform), path_(std::move(path)), content_(std::move(content)) {}
  bool AtEndOfStream() override { return position_ >= content_.size(); }
  std::string ReadLine(std::size_t max_length) override {
    platform_->Record("ReadLine", path_);
    if (AtEndOfStream()) throw FakeError("ReadLine", path_);
    std::size_t end = content_.find('\n', position_);
    if (end == std::string::npos) end = content_.size();
    std::string line = content_.substr(position_, end - position_);
    position_ = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line.substr(0, max_length);
  }
  void Close() override { platform_->Record("Close", path_); }

 private:
  FakePlatform* platform_;
  std::string path_;
  std::string content_;
  std::size_t position_ = 0;
};

class FakeFileSystem : public FileSystem {
 public:
  explicit FakeFileSystem(FakePlatform* platform) : p_(platform) {
    ++p_->file_systems_alive;
    ++p_->file_systems_made;
  }
  ~FakeFileSystem() override { --p_->file_systems_alive; }

  bool FileExists(const std::string& path) override {
    p_->calls.push_back("FileExists " + path);
    return p_->files.count(path) == 1;
  }
  bool FolderExists(const std::string& path) override {
    p_->calls.push_back("FolderExists " + path);
    return p_->folders.count(WithoutTrailingSeparator(path)) == 1;
  }
  void CreateFolder(const std::string& path) override {
    p_->Record("CreateFolder", path);
    if (p_->folders.count(ParentOf(path)) == 0) throw FakeError("CreateFolder", path);
    p_->folders.insert(WithoutTrailingSeparator(path));
  }
  std::int64_t FileSize(const std::string& path) override {
    p_->Record("FileSize", path);
    const auto file = p_->files.find(path);
    if (file == p_->files.end()) throw FakeError("FileSize", path);
    return static_cast<std::int64_t>(file->second.content.size());
  }
  std::unique_ptr<TextWriter> OpenTextFileForAppending(const std::string& path) override {
    p_->Record("OpenTextFileForAppending", path);
    const auto file = p_->files.find(path);
    if (p_->folders.count(ParentOf(path)) == 0 ||
        (file != p_->files.end() && file->second.read_only)) {
      throw FakeError("OpenTextFileForAppending", path);
    }
    p_->files[path];
    return std::make_unique<FakeTextWriter>(p_, path);
  }
  std::unique_ptr<TextWriter> CreateNewTextFile(const std::string& path) override {
    p_->Record("CreateNewTextFile", path);
    if (p_->files.count(path) == 1) return nullptr;
    if (p_->folders.count(ParentOf(path)) == 0) throw FakeError("CreateNewTextFile", path);
    p_->files[path];
    return std::make_unique<FakeTextWriter>(p_, path);
  }
  std::unique_ptr<TextReader> OpenTextFileForReading(const std::string& path) override {
    p_->Record("OpenTextFileForReading", path);
    const auto file = p_->files.find(path);
    if (file == p_->files.end()) throw FakeError("OpenTextFileForReading", path);
    return std::make_unique<FakeTextReader>(p_, path, file->second.content);
  }
  void CopyFile(const std::string& source, const std::string& destination) override {
    p_->Record("CopyFile", source + " -> " + destination);
    const auto from = p_->files.find(source);
    const auto to = p_->files.find(destination);
    if (from == p_->files.end() || p_->folders.count(ParentOf(destination)) == 0 ||
        (to != p_->files.end() && to->second.read_only)) {
      throw FakeError("CopyFile", source + " -> " + destination);
    }
    p_->files[destination] = from->second;
  }
  bool MoveOver(const std::string& source, const std::string& destination) override {
    p_->Record("MoveOver", source + " -> " + destination);
    const auto from = p_->files.find(source);
    const auto to = p_->files.find(destination);
    if (from == p_->files.end() || (to != p_->files.end() && to->second.read_only)) {
      throw FakeError("MoveOver", source + " -> " + destination);
    }
    if (p_->other_volume.count(ParentOf(source)) != p_->other_volume.count(ParentOf(destination))) {
      return false;
    }
    const FakeFile moved = from->second;
    p_->files.erase(from);
    p_->files[destination] = moved;
    return true;
  }
  void DeleteFile(const std::string& path) override {
    p_->Record("DeleteFile", path);
    const auto file = p_->files.find(path);
    if (file == p_->files.end() || file->second.read_only) throw FakeError("DeleteFile", path);
    p_->files.erase(file);
  }

 private:
  FakePlatform* p_;
};

class FakeChildProcess : public ChildProcess {
 public:
  explicit FakeChildProcess(FakePlatform* platform) : p_(platform) {}
  bool HasEnded(long* exit_status) override {
    ++p_->queries;
    if (p_->queries <= p_->child.running_queries) return false;
    *exit_status = p_->child.exit_status;
    return true;
  }
  bool WaitForEnd(unsigned milliseconds) override {
    p_->pauses.push_back(milliseconds);
    return p_->queries >= p_->child.running_queries;
  }

 private:
  FakePlatform* p_;
};

}  // namespace

std::string ParentOf(const std::string& path) {
  const std::string trimmed = WithoutTrailingSeparator(path);
  const auto slash = trimmed.rfind('\\');
  return slash == std::string::npos ? std::string() : trimmed.substr(0, slash);
}

FakePlatform::FakePlatform() { folders.insert(executable_directory); }

void FakePlatform::AddFolder(const std::string& path) {
  for (std::string folder = WithoutTrailingSeparator(path); !folder.empty();
       folder = ParentOf(folder)) {
    folders.insert(folder);
  }
}

void FakePlatform::AddFile(const std::string& path, const std::string& content, bool read_only) {
  AddFolder(ParentOf(path));
  files[path] = FakeFile{content, read_only};
}

void FakePlatform::AddConfigFile() {
  AddFile(executable_directory + "\\" + kConfigFileName, "");
}

void FakePlatform::SetRegistryText(const std::string& key, const std::string& name,
                                   const std::string& text) {
  registry[key][name] = FakeRegistryValue{kRegString, text + std::string(1, '\0')};
}

void FakePlatform::SetRegistryDword(const std::string& key, const std::string& name,
                                    std::int32_t value) {
  std::string bytes(4, '\0');
  std::memcpy(&bytes[0], &value, 4);
  registry[key][name] = FakeRegistryValue{kRegDword, bytes};
}

void FakePlatform::Record(const std::string& operation, const std::string& path) {
  const std::string call = operation + " " + path;
  calls.push_back(call);
  if (failures.count(call) == 1) throw FakeError(operation, path);
}

std::unique_ptr<FileSystem> FakePlatform::CreateFileSystem() {
  return std::make_unique<FakeFileSystem>(this);
}

std::string FakePlatform::EnvironmentValue(const std::string& name) {
  for (const auto& entry : environment) {
    if (entry.first.size() == name.size() &&
        std::equal(name.begin(), name.end(), entry.first.begin(),
                   [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
      return entry.second;
    }
  }
  return std::string();
}

std::unique_ptr<ChildProcess> FakePlatform::StartHidden(const std::string& command) {
  started.push_back(command);
  if (start_throws) throw Error(2, "Fake", "The system cannot find the file specified.");
  if (on_start) on_start();
  return std::make_unique<FakeChildProcess>(this);
}

long FakePlatform::OpenRegistryKey(const std::string& sub_key, std::uint32_t access,
                                   RegistryKey* key) {
  registry_access.push_back(access);
  *key = kNoRegistryKey;
  if (registry.count(sub_key) == 0) return kStatusFileNotFound;
  open_key_paths_.push_back(sub_key);
  *key = open_key_paths_.size();
  ++registry_keys_open;
  return kStatusSuccess;
}

long FakePlatform::QueryRegistryValue(RegistryKey key, const std::string& name,
                                      std::uint32_t* type, void* data, std::uint32_t* size) {
  if (key == kNoRegistryKey || key > open_key_paths_.size()) return 6;
  const auto& values = registry[open_key_paths_[key - 1]];
  const auto value = values.find(name);
  if (value == values.end()) return kStatusFileNotFound;
  const auto needed = static_cast<std::uint32_t>(value->second.data.size());
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return kStatusMoreData;
    }
    std::memcpy(data, value->second.data.data(), needed);
  }
  *type = value->second.type;
  *size = needed;
  return kStatusSuccess;
}

long FakePlatform::CloseRegistryKey(RegistryKey key) {
  if (key == kNoRegistryKey) return 6;
  --registry_keys_open;
  return kStatusSuccess;
}

std::uint32_t FakePlatform::ReadProfileString(const std::string& /*section*/,
                                              const std::string& key,
                                              const std::string& default_value, char* buffer,
                                              std::uint32_t size, const std::string& file) {
  profile_reads.push_back(key);
  profile_sizes.push_back(size);
  std::string value = default_value;
  const auto found = profile.find(key);
  if (files.count(file) == 1 && found != profile.end()) value = found->second;
  const std::size_t length = std::min<std::size_t>(value.size(), size - 1);
  std::memcpy(buffer, value.data(), length);
  buffer[length] = '\0';
  return static_cast<std::uint32_t>(length);
}

long FakePlatform::CreateGuid(Guid* out) {
  if (guid_throws) throw Error(7, "Fake", "Out of memory");
  if (guid_status == 0) *out = guid;
  return guid_status;
}

}  // namespace saplugin
