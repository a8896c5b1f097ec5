#pragma once

// A file system held in memory, for the tests of what the store and the
// operator's programs decide: Windows-like (names matched without regard to
// case, "\" and "/" alike, read-only files refused), and every operation can
// be made to fail, or the process "killed", before or after any step.

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "platform/platform.h"
#include "platform/text.h"

namespace saplugin::test {

// Thrown by a hook to stand for the process being killed there: nothing of
// the program runs after it but the destructors, as a kill frees the locks.
struct Killed {};

class MemoryFileSystem : public FileSystem {
 public:
  struct File {
    std::string path, bytes;
    std::int64_t modified = 0;
    bool read_only = false;
  };
  // Called before each step that changes something (done false) and after it
  // (done true), with the step's name ("CopyFile", "MoveIfAbsent.link", ...)
  // and its destination; a hook fails the step by throwing Error, or kills.
  std::function<void(const std::string& step, const std::string& path, bool done)> hook;
  std::int64_t now = 1'800'000'000;
  std::map<std::string, File> files;  // by Key()
  std::map<std::string, std::string> folders;
  std::set<std::string> links, locked;
  std::set<std::string> unlistable;  // folders whose listing is refused, by Key(), as an ACL may

  static std::string Key(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    while (path.size() > 1 && path.back() == '\\') path.pop_back();
    return LowerCase(path);
  }
  static std::string Parent(const std::string& key) { return key.substr(0, key.rfind('\\')); }

  void AddFolder(const std::string& path) {
    for (std::size_t at = path.find('\\', 1); at != std::string::npos; at = path.find('\\', at + 1)) folders.emplace(Key(path.substr(0, at)), path.substr(0, at));
    folders.emplace(Key(path), path);
  }
  void Put(const std::string& path, const std::string& bytes, std::int64_t modified = 0) {
    AddFolder(path.substr(0, path.find_last_of("\\/")));
    files[Key(path)] = {path, bytes, modified ? modified : now, false};
  }
  // The bytes of a file, or "(none)".
  std::string Bytes(const std::string& path) const {
    const auto file = files.find(Key(path));
    return file == files.end() ? "(none)" : file->second.bytes;
  }

  bool FileExists(const std::string& path) override { return files.count(Key(path)) > 0; }
  bool FolderExists(const std::string& path) override { return folders.count(Key(path)) > 0; }
  void CreateFolder(const std::string& path) override {
    Step("CreateFolder", path, [&] {
      if (!FolderExists(Parent(Key(path)))) Fail(3, path, "The system cannot find the path specified.");
      folders.emplace(Key(path), path);
    });
  }
  std::int64_t FileSize(const std::string& path) override { return static_cast<std::int64_t>(Existing(path).bytes.size()); }
  std::unique_ptr<TextWriter> OpenTextFileForAppending(const std::string& path) override {
    Step("OpenTextFileForAppending", path, [&] {
      if (!FileExists(path)) Made(path, "");
      Writable(path);
    });
    return std::make_unique<Writer>(*this, path);
  }
  std::unique_ptr<TextWriter> CreateNewTextFile(const std::string& path) override {
    if (FileExists(path)) return nullptr;
    Step("CreateNewTextFile", path, [&] { Made(path, ""); });
    return std::make_unique<Writer>(*this, path);
  }
  std::unique_ptr<TextWriter> CreatePrivateFile(const std::string& path) override { return CreateNewTextFile(path); }
  std::unique_ptr<TextReader> OpenTextFileForReading(const std::string& path) override {
    return std::make_unique<Reader>(Existing(path).bytes);
  }
  void CopyFile(const std::string& source, const std::string& destination) override {
    const std::string bytes = Existing(source).bytes;
    if (FileExists(destination)) Writable(destination);
    // Written in two halves, so that a kill between them leaves a part.
    Step("CopyFile", destination, [&] { Made(destination, bytes.substr(0, bytes.size() / 2)); });
    Step("CopyFile", destination, [&] { Made(destination, bytes); });
  }
  bool MoveOver(const std::string& source, const std::string& destination) override {
    Existing(source);
    Step("MoveOver", destination, [&] {
      if (FileExists(destination)) Writable(destination);
      Move(source, destination);
    });
    return true;
  }
  bool MoveIfAbsent(const std::string& source, const std::string& destination) override {
    Existing(source);
    if (FileExists(destination)) return false;
    // As POSIX does it: a second name first, then the first goes.
    Step("MoveIfAbsent.link", destination, [&] { Made(destination, files[Key(source)].bytes); });
    Step("MoveIfAbsent.unlink", source, [&] { files.erase(Key(source)); });
    return true;
  }
  bool AppendToExistingFile(const std::string& path, const std::string& bytes) override {
    if (!FileExists(path)) return false;
    Step("AppendToExistingFile", path, [&] { Writable(path).bytes += bytes; });
    return true;
  }
  void DeleteFile(const std::string& path) override {
    Step("DeleteFile", path, [&] {
      Writable(path);
      files.erase(Key(path));
    });
  }
  void ClearReadOnly(const std::string& path) override {
    Step("ClearReadOnly", path, [&] { Existing(path).read_only = false; });
  }
  bool IsLink(const std::string& path) override { return links.count(Key(path)) > 0; }
  std::unique_ptr<FileLock> TryLock(const std::string& path) override {
    if (locked.count(Key(path))) return nullptr;
    if (hook) hook("TryLock", path, false);
    if (!FileExists(path)) Made(path, "");
    locked.insert(Key(path));
    auto lock = std::make_unique<Lock>(*this, path);  // let go by a kill, as the system does
    if (hook) hook("TryLock", path, true);
    return lock;
  }
  std::string FolderAddProblem(const std::string&) override { return ""; }
  std::vector<FileEntry> FilesIn(const std::string& path) override {
    if (!FolderExists(path)) Fail(3, path, "The system cannot find the path specified.");
    if (unlistable.count(Key(path))) Fail(5, path, "Access is denied.");
    std::vector<FileEntry> listed;
    for (const auto& [key, file] : files) {
      if (Parent(key) == Key(path)) listed.push_back({file.path.substr(file.path.rfind('\\') + 1), static_cast<std::int64_t>(file.bytes.size()), file.modified});
    }
    std::sort(listed.begin(), listed.end(), [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
    return listed;
  }
  std::vector<std::string> FolderNames(const std::string& path) override {
    std::vector<std::string> names;
    for (const auto& [key, folder] : folders) {
      if (key != Key(path) && Parent(key) == Key(path) && !links.count(key)) names.push_back(folder.substr(folder.rfind('\\') + 1));
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string FinalPath(const std::string& path) override { return folders.at(Key(path)); }
  std::string FolderIdentity(const std::string& path) override { return Key(FinalPath(path)); }

 private:
  class Writer : public TextWriter {
   public:
    Writer(MemoryFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
    void WriteLine(const std::string& text) override { Write((text + "\r\n").data(), text.size() + 2); }
    void Write(const char* data, std::size_t size) override {
      fs_.Step("Write", path_, [&] { fs_.Existing(path_).bytes.append(data, size); });
    }
    void Close() override {}

   private:
    MemoryFileSystem& fs_;
    std::string path_;
  };
  class Reader : public TextReader {
   public:
    explicit Reader(std::string bytes) : bytes_(std::move(bytes)) {}
    bool AtEndOfStream() override { return at_ >= bytes_.size(); }
    std::string ReadLine(std::size_t max_length) override {
      if (AtEndOfStream()) throw Error(62, "test", "read past the end");
      const std::size_t end = std::min(bytes_.find('\n', at_), bytes_.size());
      std::string line = bytes_.substr(at_, end - at_);
      at_ = end + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line.substr(0, max_length);
    }
    std::size_t Read(char* data, std::size_t size) override {
      const std::size_t got = std::min(size, bytes_.size() - std::min(at_, bytes_.size()));
      std::copy_n(bytes_.data() + at_, got, data);
      at_ += got;
      return got;
    }
    void Close() override {}

   private:
    std::string bytes_;
    std::size_t at_ = 0;
  };
  struct Lock : FileLock {
    Lock(MemoryFileSystem& fs, std::string path) : fs(fs), path(std::move(path)) {}
    ~Lock() override {
      fs.locked.erase(Key(path));
      fs.files.erase(Key(path));
    }
    MemoryFileSystem& fs;
    std::string path;
  };

  [[noreturn]] static void Fail(long number, const std::string& path, const std::string& what) { throw Error(number, "memory", path + ": " + what); }
  template <typename F>
  void Step(const std::string& step, const std::string& path, F&& change) {
    if (hook) hook(step, path, false);
    change();
    if (hook) hook(step, path, true);
  }
  File& Existing(const std::string& path) {
    const auto file = files.find(Key(path));
    if (file == files.end()) Fail(2, path, "The system cannot find the file specified.");
    return file->second;
  }
  File& Writable(const std::string& path) {
    File& file = Existing(path);
    if (file.read_only) Fail(5, path, "Access is denied.");
    return file;
  }
  void Made(const std::string& path, const std::string& bytes) {
    if (!FolderExists(Parent(Key(path)))) Fail(3, path, "The system cannot find the path specified.");
    files[Key(path)] = {path, bytes, now, false};
  }
  void Move(const std::string& source, const std::string& destination) {
    File moved = files.at(Key(source));
    files.erase(Key(source));
    moved.path = destination;
    files[Key(destination)] = moved;
  }
};

}  // namespace saplugin::test
