#include "platform/posix/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/buffered_text_reader.h"
#include "platform/paths.h"
#include "platform/posix/native_path.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/scoped_fd.h"

namespace saplugin {

namespace {

constexpr std::size_t kBufferSize = 256 * 1024;
// What a run writes holds mail, senders and subjects: new files are for the
// owner and the group only (less what the umask takes).
constexpr mode_t kNewFileMode = 0640;

bool IsReadOnly(const struct stat& info) { return (info.st_mode & 0222) == 0; }

void WriteAll(int fd, const char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw PosixError("Could not write " + Quoted(path), errno);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

class PosixTextWriter : public TextWriter {
 public:
  PosixTextWriter(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  void WriteLine(const std::string& text) override {
    const std::string line = text + "\r\n";
    Write(line.data(), line.size());
  }

  void Write(const char* data, std::size_t size) override {
    if (!fd_.Valid()) throw PosixError("Could not write " + Quoted(path_), EBADF);
    WriteAll(fd_.Get(), data, size, path_);
  }

  void Close() override {
    if (fd_.Reset() != 0) throw PosixError("Could not close " + Quoted(path_), errno);
  }

 private:
  ScopedFd fd_;
  std::string path_;
};

class PosixTextReader : public BufferedTextReader {
 public:
  PosixTextReader(int fd, std::string path) : BufferedTextReader(std::move(path)), fd_(fd) {}

 protected:
  void CloseSource() override { fd_.Reset(); }

  std::size_t ReadBlock(char* data, std::size_t size) override {
    for (;;) {
      const ssize_t got = ::read(fd_.Get(), data, size);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw PosixError("Could not read " + Quoted(Path()), errno);
      return static_cast<std::size_t>(got);
    }
  }

 private:
  ScopedFd fd_;
};

// Copies the rest of in to out, in kernel space where the kernel can.
void CopyContent(int in, int out, const std::string& source, const std::string& destination) {
  for (;;) {
    const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (copied > 0) continue;
    if (copied == 0) return;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) break;
    throw PosixError("Could not copy " + Quoted(source) + " to " + Quoted(destination), errno);
  }
  std::vector<char> buffer(kBufferSize);
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw PosixError("Could not read " + Quoted(source), errno);
    if (got == 0) return;
    WriteAll(out, buffer.data(), static_cast<std::size_t>(got), destination);
  }
}

// Puts the folder's entries on disk, so that a name made, replaced or moved
// in it survives a power cut.
void SyncFolderOf(const std::string& native, const std::string& context) {
  const auto slash = native.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
  ScopedFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid() || ::fsync(fd.Get()) != 0) throw PosixError(context + ": its folder cannot be synced", errno);
}

// flock's lock on an open file: the kernel drops it when the process ends.
class PosixFileLock : public FileLock {
 public:
  PosixFileLock(int fd, std::string native) : fd_(fd), native_(std::move(native)) {}
  // The name goes while the lock is held: whoever opened the same file
  // meanwhile finds, once it has the lock, that the name is no longer its own.
  ~PosixFileLock() override { ::unlink(native_.c_str()); }

 private:
  ScopedFd fd_;
  std::string native_;
};

}  // namespace

bool PosixFileSystem::FileExists(const std::string& path) {
  struct stat info;
  return !path.empty() && ::stat(ToNativePath(path).c_str(), &info) == 0 &&
         S_ISREG(info.st_mode);
}

bool PosixFileSystem::FolderExists(const std::string& path) {
  struct stat info;
  return !path.empty() && ::stat(ToNativePath(path).c_str(), &info) == 0 &&
         S_ISDIR(info.st_mode);
}

void PosixFileSystem::CreateFolder(const std::string& path) {
  if (::mkdir(ToNativePath(path).c_str(), 0777) == 0) return;
  const int error = errno;
  // Another run may have made it in the meantime: the folder is there, as asked.
  if (error == EEXIST && FolderExists(path)) return;
  throw PosixError("Could not create folder " + Quoted(path), error);
}

std::int64_t PosixFileSystem::FileSize(const std::string& path) {
  struct stat info;
  if (::stat(ToNativePath(path).c_str(), &info) != 0) {
    throw PosixError("Could not read the size of " + Quoted(path), errno);
  }
  if (!S_ISREG(info.st_mode)) throw PosixError("Could not read the size of " + Quoted(path), EISDIR);
  return static_cast<std::int64_t>(info.st_size);
}

std::unique_ptr<TextWriter> PosixFileSystem::OpenTextFileForAppending(const std::string& path) {
  const std::string native = ToNativePath(path);
  struct stat info;
  if (::stat(native.c_str(), &info) == 0 && S_ISREG(info.st_mode) && IsReadOnly(info)) {
    throw PosixError("Could not open " + Quoted(path) + " for writing", EACCES);
  }
  const int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kNewFileMode);
  if (fd < 0) throw PosixError("Could not open " + Quoted(path) + " for writing", errno);
  return std::make_unique<PosixTextWriter>(fd, path);
}

std::unique_ptr<TextWriter> PosixFileSystem::CreateNewTextFile(const std::string& path) {
  const int fd = ::open(ToNativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
  if (fd < 0 && errno == EEXIST) return nullptr;
  if (fd < 0) throw PosixError("Could not create " + Quoted(path), errno);
  return std::make_unique<PosixTextWriter>(fd, path);
}

std::unique_ptr<TextWriter> PosixFileSystem::CreatePrivateFile(const std::string& path) {
  const int fd = ::open(ToNativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) return nullptr;
  if (fd < 0) throw PosixError("Could not create " + Quoted(path), errno);
  return std::make_unique<PosixTextWriter>(fd, path);
}

std::unique_ptr<TextReader> PosixFileSystem::OpenTextFileForReading(const std::string& path) {
  const int fd = ::open(ToNativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw PosixError("Could not open " + Quoted(path) + " for reading", errno);
  ScopedFd owner(fd);
  struct stat info;
  if (::fstat(fd, &info) != 0) throw PosixError("Could not open " + Quoted(path), errno);
  if (!S_ISREG(info.st_mode)) throw PosixError("Could not open " + Quoted(path), EISDIR);
  auto reader = std::make_unique<PosixTextReader>(fd, path);
  static_cast<void>(owner.Release());
  return reader;
}

void PosixFileSystem::CopyFile(const std::string& source, const std::string& destination) {
  const std::string context = "Could not copy " + Quoted(source) + " to " + Quoted(destination);
  ScopedFd in(::open(ToNativePath(source).c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.Valid()) throw PosixError(context, errno);
  struct stat from;
  if (::fstat(in.Get(), &from) != 0) throw PosixError(context, errno);
  if (!S_ISREG(from.st_mode)) throw PosixError(context, EISDIR);

  const std::string native = ToNativePath(destination);
  struct stat to;
  if (::stat(native.c_str(), &to) == 0) {
    if (!S_ISREG(to.st_mode)) throw PosixError(context, EISDIR);
    if (IsReadOnly(to)) throw PosixError(context, EACCES);
    // Truncating the destination would destroy the source.
    if (to.st_dev == from.st_dev && to.st_ino == from.st_ino) throw PosixError(context, EINVAL);
  }
  ScopedFd out(::open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode));
  if (!out.Valid()) throw PosixError(context, errno);
  try {
    CopyContent(in.Get(), out.Get(), source, destination);
    // The copy takes the source's permissions, as a Windows copy takes its
    // attributes (a read-only source gives a read-only copy).
    if (::fchmod(out.Get(), from.st_mode & 0777) != 0) throw PosixError(context, errno);
    // On disk, name and all, before the caller removes what it copied.
    if (::fsync(out.Get()) != 0) throw PosixError(context, errno);
    if (out.Reset() != 0) throw PosixError(context, errno);
  } catch (const Error&) {
    // A part of a copy (a full disk) is no copy: it goes, as a failed Windows copy goes.
    ::unlink(native.c_str());
    throw;
  }
  SyncFolderOf(native, context);
}

bool PosixFileSystem::MoveOver(const std::string& source, const std::string& destination) {
  const std::string context = "Could not replace " + Quoted(destination) + " with " + Quoted(source);
  const std::string native = ToNativePath(destination);
  const std::string from = ToNativePath(source);
  ScopedFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat source_info;
  if (!in.Valid() || ::fstat(in.Get(), &source_info) != 0) throw PosixError(context, errno);
  struct stat info;
  if (::stat(native.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    if (IsReadOnly(info)) throw Error(EACCES, "saplugin", context + ": the file is read-only");
    if (info.st_dev != source_info.st_dev) return false;
    // Owner first: a change of owner may clear the mode's special bits.
    if (::fchown(in.Get(), info.st_uid, info.st_gid) != 0 || ::fchmod(in.Get(), info.st_mode & 07777) != 0) {
      throw PosixError(context + ": its owner and permissions cannot be kept", errno);
    }
  }
  // The data reaches the disk before the name does: after a power cut the
  // destination is the old file or the whole new one, never an empty one.
  if (::fsync(in.Get()) != 0) throw PosixError(context, errno);
  if (::rename(from.c_str(), native.c_str()) != 0) {
    if (errno == EXDEV) return false;
    throw PosixError(context, errno);
  }
  SyncFolderOf(native, context);
  return true;
}

bool PosixFileSystem::MoveIfAbsent(const std::string& source, const std::string& destination) {
  const std::string from = ToNativePath(source);
  // A link fails on an existing name, which rename would replace.
  if (::link(from.c_str(), ToNativePath(destination).c_str()) != 0) {
    if (errno == EEXIST) return false;
    throw PosixError("Could not move " + Quoted(source) + " to " + Quoted(destination), errno);
  }
  if (::unlink(from.c_str()) != 0) throw PosixError("Could not delete " + Quoted(source), errno);
  SyncFolderOf(ToNativePath(destination), "Could not move " + Quoted(source) + " to " + Quoted(destination));
  return true;
}

bool PosixFileSystem::AppendToExistingFile(const std::string& path, const std::string& bytes) {
  ScopedFd fd(::open(ToNativePath(path).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (!fd.Valid() && errno == ENOENT) return false;
  if (!fd.Valid()) throw PosixError("Could not open " + Quoted(path) + " for writing", errno);
  // One write: with O_APPEND the kernel puts it at the end whole.
  const ssize_t written = ::write(fd.Get(), bytes.data(), bytes.size());
  if (written < 0) throw PosixError("Could not write " + Quoted(path), errno);
  if (static_cast<std::size_t>(written) != bytes.size()) {
    // A full volume took only part of it: the part is cut off again, so that
    // the next append starts where this one did, not inside its text.
    struct stat info;
    if (::fstat(fd.Get(), &info) == 0 && info.st_size >= written) {
      static_cast<void>(::ftruncate(fd.Get(), info.st_size - written));
    }
    throw PosixError("Could not write " + Quoted(path), ENOSPC);
  }
  if (fd.Reset() != 0) throw PosixError("Could not close " + Quoted(path), errno);
  return true;
}

void PosixFileSystem::DeleteFile(const std::string& path) {
  const std::string native = ToNativePath(path);
  const std::string context = "Could not delete " + Quoted(path);
  struct stat info;
  if (::lstat(native.c_str(), &info) != 0) throw PosixError(context, errno);
  if (S_ISDIR(info.st_mode)) throw PosixError(context, EISDIR);
  if (S_ISREG(info.st_mode) && IsReadOnly(info)) {
    throw Error(EACCES, "saplugin", context + ": the file is read-only");
  }
  if (::unlink(native.c_str()) != 0) throw PosixError(context, errno);
}

void PosixFileSystem::ClearReadOnly(const std::string& path) {
  const std::string native = ToNativePath(path);
  struct stat info;
  if (::stat(native.c_str(), &info) != 0 || ::chmod(native.c_str(), (info.st_mode & 0777) | 0200) != 0) {
    throw PosixError("Could not make " + Quoted(path) + " writable", errno);
  }
}

bool PosixFileSystem::IsLink(const std::string& path) {
  struct stat info;
  return !path.empty() && ::lstat(ToNativePath(path).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::unique_ptr<FileLock> PosixFileSystem::TryLock(const std::string& path) {
  const std::string native = ToNativePath(path);
  const std::string context = "Could not lock " + Quoted(path);
  // A holder that lets go removes the name; a few tries find the new file.
  for (int attempt = 0; attempt < 16; ++attempt) {
    // A link is never followed: the lock's file is made where it is named.
    ScopedFd fd(::open(native.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kNewFileMode));
    if (!fd.Valid()) throw PosixError(context, errno);
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return nullptr;
      throw PosixError(context, errno);
    }
    struct stat held, named;
    if (::fstat(fd.Get(), &held) == 0 && ::stat(native.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      return std::make_unique<PosixFileLock>(fd.Release(), native);
    }
  }
  return nullptr;
}

std::string PosixFileSystem::FolderAddProblem(const std::string& path) {
  // Making a file takes writing and searching the folder; a read-only volume
  // answers EROFS.
  if (::access(ToNativePath(path).c_str(), W_OK | X_OK) == 0) return "";
  return std::strerror(errno);
}

void PosixFileSystem::EachFileIn(const std::string& path, const std::function<void(const FileEntry&)>& each) {
  const std::string native = ToNativePath(path);
  const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(native.c_str()), ::closedir);
  if (!folder) throw PosixError("Could not list " + Quoted(path), errno);
  while (const dirent* entry = ::readdir(folder.get())) {
    struct stat info;
    // A file that goes while the folder is read is no longer in it; a link is
    // not listed, so that nothing found by a listing leads elsewhere.
    if (::fstatat(::dirfd(folder.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
    each({entry->d_name, static_cast<std::int64_t>(info.st_size), static_cast<std::int64_t>(info.st_mtime)});
  }
}

std::vector<FileEntry> PosixFileSystem::FilesIn(const std::string& path) {
  std::vector<FileEntry> files;
  EachFileIn(path, [&](const FileEntry& file) { files.push_back(file); });
  std::sort(files.begin(), files.end(), [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
  return files;
}

std::vector<std::string> PosixFileSystem::FolderNames(const std::string& path) {
  const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(ToNativePath(path).c_str()), ::closedir);
  if (!folder) throw PosixError("Could not list " + Quoted(path), errno);
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(folder.get())) {
    const std::string name = entry->d_name;
    struct stat info;
    if (name != "." && name != ".." && ::fstatat(::dirfd(folder.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(info.st_mode)) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string PosixFileSystem::FinalPath(const std::string& path) {
  const std::unique_ptr<char, void (*)(void*)> resolved(::realpath(ToNativePath(path).c_str(), nullptr), std::free);
  if (!resolved) throw PosixError("Could not find the folder " + Quoted(path), errno);
  struct stat info;
  if (::stat(resolved.get(), &info) != 0) throw PosixError("Could not find the folder " + Quoted(path), errno);
  if (!S_ISDIR(info.st_mode)) throw PosixError("Could not find the folder " + Quoted(path), ENOTDIR);
  return resolved.get();
}

std::string PosixFileSystem::FolderIdentity(const std::string& path) {
  struct stat info;
  if (::stat(ToNativePath(path).c_str(), &info) != 0) throw PosixError("Could not find the folder " + Quoted(path), errno);
  if (!S_ISDIR(info.st_mode)) throw PosixError("Could not find the folder " + Quoted(path), ENOTDIR);
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

}  // namespace saplugin
