#include "platform/windows/windows_api.h"

#include <sddl.h>

#include <algorithm>
#include <memory>

#include "platform/buffered_text_reader.h"
#include "platform/paths.h"
#include "platform/windows/windows_error.h"
#include "platform/windows/windows_file_system.h"

namespace saplugin {

namespace {

DWORD Attributes(const std::string& path) {
  return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
}

// Windows refuses to write over a read-only file; checked here as well, so
// that no host that is laxer about it (Wine's CopyFileA) can overwrite one.
void RefuseReadOnly(const std::string& destination, const std::string& context) {
  const DWORD attributes = Attributes(destination);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    throw WindowsError(context, ERROR_ACCESS_DENIED);
  }
}

// Flushes a file's data to disk. FlushFileBuffers needs a handle with write
// access, which a read-only file refuses: its attribute is lifted meanwhile.
void FlushFile(const std::string& path, const std::string& context) {
  const DWORD attributes = Attributes(path);
  const bool read_only = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only && !SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    throw WindowsError(context, GetLastError());
  }
  ScopedHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  const DWORD error = !file.Valid() || !FlushFileBuffers(file.Get()) ? GetLastError() : ERROR_SUCCESS;
  file.Reset();
  if (read_only) SetFileAttributesA(path.c_str(), attributes);
  if (error != ERROR_SUCCESS) throw WindowsError(context, error);
}

class WindowsTextWriter : public TextWriter {
 public:
  WindowsTextWriter(HANDLE file, std::string path) : file_(file), path_(std::move(path)) {}

  void WriteLine(const std::string& text) override {
    const std::string line = text + "\r\n";
    Write(line.data(), line.size());
  }

  void Write(const char* data, std::size_t left) override {
    while (left > 0) {
      DWORD written = 0;
      if (!file_.Valid() || !WriteFile(file_.Get(), data, static_cast<DWORD>(left), &written, nullptr)) {
        throw WindowsError("Could not write " + Quoted(path_), GetLastError());
      }
      data += written;
      left -= written;
    }
  }

  void Close() override {
    if (!file_.Reset()) throw WindowsError("Could not close " + Quoted(path_), GetLastError());
  }

 private:
  ScopedHandle file_;
  std::string path_;
};

class WindowsTextReader : public BufferedTextReader {
 public:
  WindowsTextReader(HANDLE file, std::string path) : BufferedTextReader(std::move(path)), file_(file) {}

 protected:
  void CloseSource() override { file_.Reset(); }

  std::size_t ReadBlock(char* data, std::size_t size) override {
    DWORD got = 0;
    if (!ReadFile(file_.Get(), data, static_cast<DWORD>(size), &got, nullptr)) {
      throw WindowsError("Could not read " + Quoted(Path()), GetLastError());
    }
    return got;
  }

 private:
  ScopedHandle file_;
};

// A handle that shares the file with nobody: while it is open no other
// process can open the name, and when it closes, the process's end included,
// the system deletes the file.
class WindowsFileLock : public FileLock {
 public:
  explicit WindowsFileLock(HANDLE file) : file_(file) {}

 private:
  ScopedHandle file_;
};

}  // namespace

bool WindowsFileSystem::FileExists(const std::string& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool WindowsFileSystem::FolderExists(const std::string& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void WindowsFileSystem::CreateFolder(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return;
  const DWORD error = GetLastError();
  // Another run may have made it in the meantime: the folder is there, as asked.
  if (error == ERROR_ALREADY_EXISTS && FolderExists(path)) return;
  throw WindowsError("Could not create folder " + Quoted(path), error);
}

std::int64_t WindowsFileSystem::FileSize(const std::string& path) {
  ScopedHandle file(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size;
  if (!file.Valid() || !GetFileSizeEx(file.Get(), &size)) {
    throw WindowsError("Could not read the size of " + Quoted(path), GetLastError());
  }
  return size.QuadPart;
}

std::unique_ptr<TextWriter> WindowsFileSystem::OpenTextFileForAppending(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw WindowsError("Could not open " + Quoted(path) + " for writing", GetLastError());
  }
  return std::make_unique<WindowsTextWriter>(file, path);
}

std::unique_ptr<TextWriter> WindowsFileSystem::CreateNewTextFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return nullptr;
    throw WindowsError("Could not create " + Quoted(path), error);
  }
  return std::make_unique<WindowsTextWriter>(file, path);
}

std::unique_ptr<TextWriter> WindowsFileSystem::CreatePrivateFile(const std::string& path) {
  // A protected DACL (no inherited entries) with one entry: full access for
  // the process's user.
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) throw WindowsError("Could not read this process's user", GetLastError());
  char user[256];
  DWORD size = sizeof user;
  const BOOL read = GetTokenInformation(token, TokenUser, user, size, &size);
  const DWORD read_error = GetLastError();
  CloseHandle(token);
  if (!read) throw WindowsError("Could not read this process's user", read_error);
  LPSTR sid = nullptr;
  if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid)) throw WindowsError("Could not read this process's user", GetLastError());
  const std::string sddl = std::string("D:P(A;;FA;;;") + sid + ")";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    throw WindowsError("Could not make the access list of " + Quoted(path), GetLastError());
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE) {
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return nullptr;
    throw WindowsError("Could not create " + Quoted(path), error);
  }
  return std::make_unique<WindowsTextWriter>(file, path);
}

std::unique_ptr<TextReader> WindowsFileSystem::OpenTextFileForReading(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw WindowsError("Could not open " + Quoted(path) + " for reading", GetLastError());
  }
  return std::make_unique<WindowsTextReader>(file, path);
}

void WindowsFileSystem::CopyFile(const std::string& source, const std::string& destination) {
  const std::string context = "Could not copy " + Quoted(source) + " to " + Quoted(destination);
  RefuseReadOnly(destination, context);
  if (!CopyFileA(source.c_str(), destination.c_str(), FALSE)) throw WindowsError(context, GetLastError());
  // On disk before the caller removes what it copied.
  FlushFile(destination, context);
}

bool WindowsFileSystem::MoveOver(const std::string& source, const std::string& destination) {
  // A read-only message stays, as a copy onto it would fail.
  RefuseReadOnly(destination, "Could not replace " + Quoted(destination));
  char source_volume[MAX_PATH] = {}, destination_volume[MAX_PATH] = {};
  if (GetVolumePathNameA(source.c_str(), source_volume, MAX_PATH) &&
      GetVolumePathNameA(destination.c_str(), destination_volume, MAX_PATH) &&
      lstrcmpiA(source_volume, destination_volume) != 0) {
    return false;
  }
  // The data reaches the disk before the name does: after a power cut the
  // destination is the old file or the whole new one, never an empty one.
  FlushFile(source, "Could not replace " + Quoted(destination) + " with " + Quoted(source));
  // ReplaceFile keeps the replaced file's security descriptor and attributes.
  if (FileExists(destination) ? ReplaceFileA(destination.c_str(), source.c_str(), nullptr, 0, nullptr, nullptr) != 0
                              : MoveFileExA(source.c_str(), destination.c_str(), MOVEFILE_WRITE_THROUGH) != 0) {
    return true;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_NOT_SAME_DEVICE) return false;
  throw WindowsError("Could not replace " + Quoted(destination) + " with " + Quoted(source), error);
}

bool WindowsFileSystem::MoveIfAbsent(const std::string& source, const std::string& destination) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails on an existing name.
  if (MoveFileExA(source.c_str(), destination.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return false;
  throw WindowsError("Could not move " + Quoted(source) + " to " + Quoted(destination), error);
}

bool WindowsFileSystem::AppendToExistingFile(const std::string& path, const std::string& bytes) {
  // Appending only (FILE_APPEND_DATA), each write lands at the end whole.
  ScopedHandle file(CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return false;
    throw WindowsError("Could not open " + Quoted(path) + " for writing", error);
  }
  DWORD written = 0;
  if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) || written != bytes.size()) {
    const DWORD error = GetLastError();
    LARGE_INTEGER size;
    if (written > 0 && GetFileSizeEx(file.Get(), &size) && size.QuadPart >= written) {
      // A full volume took only part of it: the part is cut off again (through
      // a handle that may set the end), so that the next append starts where
      // this one did, not inside its text.
      ScopedHandle end(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      size.QuadPart -= written;
      if (end.Valid() && SetFilePointerEx(end.Get(), size, nullptr, FILE_BEGIN)) SetEndOfFile(end.Get());
    }
    throw WindowsError("Could not write " + Quoted(path), error == ERROR_SUCCESS ? ERROR_DISK_FULL : error);
  }
  if (!file.Reset()) throw WindowsError("Could not close " + Quoted(path), GetLastError());
  return true;
}

void WindowsFileSystem::DeleteFile(const std::string& path) {
  if (!DeleteFileA(path.c_str())) throw WindowsError("Could not delete " + Quoted(path), GetLastError());
}

void WindowsFileSystem::ClearReadOnly(const std::string& path) {
  const DWORD attributes = Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && !SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))) {
    throw WindowsError("Could not make " + Quoted(path) + " writable", GetLastError());
  }
}

bool WindowsFileSystem::IsLink(const std::string& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::unique_ptr<FileLock> WindowsFileSystem::TryLock(const std::string& path) {
  // A link is opened as itself, never followed.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file != INVALID_HANDLE_VALUE) return std::make_unique<WindowsFileLock>(file);
  const DWORD error = GetLastError();
  const DWORD attributes = Attributes(path);
  // Held open by another process, or its holder's deletion still pending; a
  // read-only file left there is no holder's and would refuse every program.
  if (error == ERROR_SHARING_VIOLATION ||
      (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0)) {
    return nullptr;
  }
  throw WindowsError("Could not lock " + Quoted(path), error);
}

std::string WindowsFileSystem::FolderAddProblem(const std::string& path) {
  // Opening the folder for adding a file checks its security descriptor as
  // making one would, and makes nothing.
  ScopedHandle folder(CreateFileA(path.c_str(), FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (folder.Valid()) return "";
  return WindowsError("", GetLastError()).Description().substr(2);  // without the empty context's ": "
}

namespace {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochInFileTime = 116444736000000000;

std::int64_t ToUnixSeconds(const FILETIME& time) {
  const std::int64_t ticks = static_cast<std::int64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
  return (ticks - kUnixEpochInFileTime) / 10000000;
}

}  // namespace

void WindowsFileSystem::EachFileIn(const std::string& path, const std::function<void(const FileEntry&)>& each) {
  WIN32_FIND_DATAA found;
  const HANDLE handle = FindFirstFileA(BuildPath(path, "*").c_str(), &found);
  if (handle == INVALID_HANDLE_VALUE) throw WindowsError("Could not list " + Quoted(path), GetLastError());
  const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> search(handle, FindClose);
  do {
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
    each({found.cFileName, static_cast<std::int64_t>(found.nFileSizeHigh) << 32 | found.nFileSizeLow, ToUnixSeconds(found.ftLastWriteTime)});
  } while (FindNextFileA(search.get(), &found));
}

std::vector<FileEntry> WindowsFileSystem::FilesIn(const std::string& path) {
  std::vector<FileEntry> files;
  EachFileIn(path, [&](const FileEntry& file) { files.push_back(file); });
  std::sort(files.begin(), files.end(), [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
  return files;
}

std::vector<std::string> WindowsFileSystem::FolderNames(const std::string& path) {
  WIN32_FIND_DATAA found;
  const HANDLE handle = FindFirstFileA(BuildPath(path, "*").c_str(), &found);
  if (handle == INVALID_HANDLE_VALUE) throw WindowsError("Could not list " + Quoted(path), GetLastError());
  const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> search(handle, FindClose);
  std::vector<std::string> names;
  do {
    const std::string name = found.cFileName;
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY && name != "." &&
        name != "..") {
      names.push_back(name);
    }
  } while (FindNextFileA(search.get(), &found));
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// Opens an existing folder (never a file) to ask what it is, for the caller
// to own; throws Error otherwise.
HANDLE OpenFolder(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  ScopedHandle folder(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.Valid() || !GetFileInformationByHandle(folder.Get(), info)) {
    throw WindowsError("Could not find the folder " + Quoted(path), GetLastError());
  }
  if ((info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) throw WindowsError("Could not find the folder " + Quoted(path), ERROR_DIRECTORY);
  return folder.Release();
}

}  // namespace

std::string WindowsFileSystem::FinalPath(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info;
  const ScopedHandle folder(OpenFolder(path, &info));
  std::string name(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleA(folder.Get(), &name[0], static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) throw WindowsError("Could not find the folder " + Quoted(path), GetLastError());
    if (length < name.size()) {
      name.resize(length);
      break;
    }
    name.resize(length + 1);
  }
  // "\\?\C:\Mail" and "\\?\UNC\server\share" as the paths that name them elsewhere.
  if (name.compare(0, 8, "\\\\?\\UNC\\") == 0) return "\\" + name.substr(7);
  if (name.compare(0, 4, "\\\\?\\") == 0) name.erase(0, 4);
  if (name.size() > 3 && name.back() == '\\') name.pop_back();
  return name;
}

std::string WindowsFileSystem::FolderIdentity(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info;
  const ScopedHandle folder(OpenFolder(path, &info));
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) + ":" + std::to_string(info.nFileIndexLow);
}

}  // namespace saplugin

