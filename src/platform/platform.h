#pragma once

// The seam between the core and the operating system. The core (run, config,
// helpers) sees the platform only through these interfaces, so that one
// implementation per operating system and an in-memory fake for tests fit it.
//
// Paths are texts with "\" as separator; an implementation maps them onto its
// own file system. Every failing operation throws saplugin::Error, except the
// existence tests (which answer false) and the Windows-style system calls at
// the bottom (which return a status, as their Windows originals do).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"

namespace saplugin {

// A text file open for appending. Closing (or destroying) it frees the file
// for running, copying or deleting.
class TextWriter {
 public:
  virtual ~TextWriter() = default;
  // Writes the text followed by a carriage return and a line feed. Throws
  // Error when the write fails.
  virtual void WriteLine(const std::string& text) = 0;
  // Writes the bytes as they are. Throws Error when the write fails.
  virtual void Write(const char* data, std::size_t size) = 0;
  // Flushes and closes; throws Error when the data cannot be written. Closing
  // twice does nothing.
  virtual void Close() = 0;
};

// A text file open for reading, line by line, in single-byte text.
class TextReader {
 public:
  virtual ~TextReader() = default;
  // True when no text is left.
  virtual bool AtEndOfStream() = 0;
  // The next line without its line break (LF or CR LF); empty for an empty
  // line. At most max_length characters of the line are returned, the rest of
  // the line is skipped, so a huge line never has to fit in memory. Throws
  // Error on a read failure or past the end.
  virtual std::string ReadLine(std::size_t max_length) = 0;
  // Reads the next bytes as they are, up to size of them (after any part of
  // a line that ReadLine left); 0 at the end. Throws Error on a read failure.
  virtual std::size_t Read(char* data, std::size_t size) = 0;
  // Closing twice does nothing.
  virtual void Close() = 0;
};

// A lock on a name, held by this process until it is destroyed, which also
// removes the lock's file. The system lets it go when the process ends in any
// way (a kill included), so that a lock is never left held by nobody.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

// One file of a folder as FilesIn lists it.
struct FileEntry {
  std::string name;
  std::int64_t size = 0;
  std::int64_t modified = 0;  // last write, in seconds since 1970-01-01 UTC
};

// The file-system object: every file and folder operation of a run.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True only for an existing file (a folder answers false). Never throws.
  virtual bool FileExists(const std::string& path) = 0;
  // True only for an existing folder, named with or without a trailing
  // separator. Never throws.
  virtual bool FolderExists(const std::string& path) = 0;
  // Makes one folder in an existing parent. A folder that already exists when
  // the call ends (made meanwhile by a run in parallel) counts as success.
  virtual void CreateFolder(const std::string& path) = 0;
  // The length of an existing file in bytes; throws Error otherwise.
  virtual std::int64_t FileSize(const std::string& path) = 0;
  // Opens a file for appending, creating it when absent. Throws Error when it
  // cannot be opened (a missing folder, no right to write, read-only).
  virtual std::unique_ptr<TextWriter> OpenTextFileForAppending(const std::string& path) = 0;
  // Creates a file that must not exist yet and opens it for writing (POSIX:
  // readable by the owner and the group only, as OpenTextFileForAppending's
  // and CopyFile's new files; Windows: as the folder's permissions say): answers
  // null when a file of that name is already there (so that runs in parallel
  // can each claim a name of their own); throws Error for other failures.
  virtual std::unique_ptr<TextWriter> CreateNewTextFile(const std::string& path) = 0;
  // As CreateNewTextFile, for a secret: the file can be read and written by
  // this process's account alone (POSIX: mode 0600; Windows: a protected ACL
  // that grants only the process's user).
  virtual std::unique_ptr<TextWriter> CreatePrivateFile(const std::string& path) = 0;
  // Opens an existing file for reading; never creates it. Throws Error.
  virtual std::unique_ptr<TextReader> OpenTextFileForReading(const std::string& path) = 0;
  // Copies source onto destination, replacing an existing destination file.
  // The source stays. When the call returns, the copy is on disk (flushed;
  // POSIX: its folder synced too), so that the caller may remove the source.
  // Throws Error for a missing source or a destination that cannot be
  // written, a read-only one included.
  virtual void CopyFile(const std::string& source, const std::string& destination) = 0;
  // Moves source over destination in one step, replacing an existing
  // destination: a reader sees the old file or the new one, never a part.
  // The source's data is flushed to disk before the move (POSIX: the folder
  // is synced after it), so that a power cut leaves the old file or the
  // whole new one, never an empty one.
  // A replaced destination passes its permissions on: the moved file keeps
  // the destination's security descriptor and attributes (Windows) or mode,
  // owner and group (POSIX), so that a message never becomes readable to more
  // accounts than before. Answers false, changing nothing of the destination,
  // when the two lie on different volumes (the caller then copies). Throws
  // Error, leaving the destination as it was, when it is read-only, its
  // permissions cannot be passed on, or the move fails otherwise.
  virtual bool MoveOver(const std::string& source, const std::string& destination) = 0;
  // Moves source to destination only when no file of that name is there yet,
  // in one step, so that of several callers exactly one puts its file in
  // place: answers false, changing nothing, when the destination exists.
  // When it answers true, the move is on disk (POSIX: the folder synced).
  // Throws Error when the move fails otherwise.
  virtual bool MoveIfAbsent(const std::string& source, const std::string& destination) = 0;
  // Appends the bytes to an existing file in a single write, so that callers
  // appending at once never mix their texts. Answers false when there is no
  // such file; throws Error when it cannot be opened or written (another
  // process holding it without sharing it for writing included). A write that
  // could be made only in part is cut off again before the error is thrown,
  // so that the next append never continues the failed one's text.
  virtual bool AppendToExistingFile(const std::string& path, const std::string& bytes) = 0;
  // Removes the one named file without forcing: throws Error for a missing or
  // read-only file.
  virtual void DeleteFile(const std::string& path) = 0;
  // Gives an existing file ordinary attributes (Windows: clears read-only;
  // POSIX: the owner may write), as a file made anew has them. Throws Error.
  virtual void ClearReadOnly(const std::string& path) = 0;
  // True when the name is a link (POSIX: a symbolic link; Windows: a reparse
  // point), which is not followed to answer. Never throws.
  virtual bool IsLink(const std::string& path) = 0;
  // Takes the lock that the file of that name stands for, in an existing
  // folder, without waiting, never through a link: answers null when another
  // process holds it. Throws Error when the lock's file cannot be made (a
  // link or a read-only file in its place included).
  virtual std::unique_ptr<FileLock> TryLock(const std::string& path) = 0;
  // Why this process may not make files in an existing folder, found without
  // making one (a folder that a mail server watches must see no stray file);
  // empty when it may. Never throws.
  virtual std::string FolderAddProblem(const std::string& path) = 0;
  // The files (no folders, no links) in a folder with their sizes and
  // last-write times, sorted by name; throws Error when the folder cannot be read.
  virtual std::vector<FileEntry> FilesIn(const std::string& path) = 0;
  // The same files one at a time, in no set order, none held after its
  // turn: for folders too large to hold in memory. Throws Error as FilesIn does.
  virtual void EachFileIn(const std::string& path, const std::function<void(const FileEntry&)>& each) {
    for (const FileEntry& file : FilesIn(path)) each(file);
  }
  // The names of the folders (no links) in a folder, sorted; throws Error
  // when it cannot be read.
  virtual std::vector<std::string> FolderNames(const std::string& path) = 0;
  // An existing folder's full path as the system names it, so that two
  // spellings of one folder (letter case, "." and "..", a trailing
  // separator, a link, a path relative to the current folder) give one text:
  // absolute, links followed, with the system's separator ("\\" on Windows,
  // "/" on POSIX) and none at its end but a root's. Throws Error when the
  // folder cannot be opened.
  virtual std::string FinalPath(const std::string& path) = 0;
  // A text that every name of one existing folder gives and no other folder
  // does, whatever the system links or not (a share of a local folder, a bind
  // mount): POSIX the device and inode, Windows the volume's serial number and
  // the file index. Throws Error when the folder cannot be opened.
  virtual std::string FolderIdentity(const std::string& path) = 0;
};

// The registry handle of the Windows-style registry calls below.
using RegistryKey = std::uintptr_t;
constexpr RegistryKey kNoRegistryKey = 0;

// Registry value types as the registry reports them.
enum RegistryType : std::uint32_t {
  kRegNone = 0,
  kRegString = 1,
  kRegExpandString = 2,
  kRegBinary = 3,
  kRegDword = 4,
};

// Status codes of the Windows-style calls.
constexpr long kStatusSuccess = 0;
constexpr long kStatusFileNotFound = 2;
constexpr long kStatusMoreData = 234;

// The 128-bit identifier from which a run name is made.
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {0, 0, 0, 0, 0, 0, 0, 0};
};

// A child process started by StartHidden; destroying the object releases the
// platform's handle on it without ending the child.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  // Asks, without waiting, whether the child has ended. When it has, returns
  // true and stores its exit status (POSIX: 128 + the signal's number for a
  // child that a signal ended). Throws Error when the question cannot be put.
  virtual bool HasEnded(long* exit_status) = 0;
  // Waits until the child ends, but at most the given time; answers whether
  // it has ended. Never throws: a failed wait just waits the whole time.
  virtual bool WaitForEnd(unsigned milliseconds) = 0;
  // Ends the child and every process it started (POSIX: its process group;
  // Windows: its job object), and waits briefly for it. Never throws: what
  // cannot be ended is left.
  virtual void EndAll() = 0;
};

// A time to wait in milliseconds; kNoTimeLimit waits as long as it takes.
using Milliseconds = std::int64_t;
constexpr Milliseconds kNoTimeLimit = -1;

// An open TCP connection; destroying it closes it.
class Connection {
 public:
  virtual ~Connection() = default;
  // Sends all the bytes, waiting at most the time for the peer to take them.
  // Throws Error when the connection fails or the time passes.
  virtual void Send(const char* data, std::size_t size, Milliseconds timeout) = 0;
  // Ends the sending half: the peer reads the end of the stream.
  virtual void EndSending() = 0;
  // Receives at least one byte and at most size of them, waiting at most the
  // time; answers 0 at the end of the stream. Throws Error when the
  // connection fails or the time passes.
  virtual std::size_t Receive(char* data, std::size_t size, Milliseconds timeout) = 0;
};

// How grave an event-log entry is: every entry of a run reports a problem;
// the operator's programs also record what they did to the mail.
enum class EventLevel {
  kInformation,  // an operator's action on the mail (a released message)
  kWarning,      // the run went on, differently from what the configuration asks
  kError,        // the message was not scanned as configured
};

class Platform {
 public:
  virtual ~Platform() = default;

  // ---- Files ----
  // Makes a new file-system object. Throws Error when it cannot be made.
  virtual std::unique_ptr<FileSystem> CreateFileSystem() = 0;

  // ---- Application services ----
  // The raw command line after the program's own name and the blank behind it.
  virtual std::string CommandLine() = 0;
  // Full path of the executable's folder, without a trailing separator.
  virtual std::string ExecutableDirectory() = 0;
  // Writes one event-log entry holding the text, at the level. Throws Error
  // when it fails.
  virtual void LogEvent(EventLevel level, const std::string& text) = 0;
  // The account this process runs as, from the system, never from the
  // environment ("DOMAIN\\user" on Windows, the effective user on POSIX).
  // Throws Error when the system cannot tell.
  virtual std::string AccountName() = 0;
  // Lets standard output reach the console of the program that started this
  // one, where it has none of its own (a Windows program without a console
  // window, started at a prompt); does nothing otherwise. Never throws.
  virtual void UseParentConsole() {}
  // The value of an environment variable whose name matches without regard to
  // letter case; empty when it is not set.
  virtual std::string EnvironmentValue(const std::string& name) = 0;
  // Starts the command line as a new process with a hidden window, in a group
  // of its own that holds everything it starts, and returns at once. Throws
  // Error, with a description, when it cannot be started.
  virtual std::unique_ptr<ChildProcess> StartHidden(const std::string& command_line) = 0;
  // Opens a TCP connection to a host (a name or an address) and port, trying
  // the host's addresses in turn, the lookup and all of them within the one
  // time. Throws Error, with a description, when none accepts it in time.
  virtual std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port, Milliseconds timeout) = 0;
  // Lets the process's pending events be handled once, without waiting.
  virtual void PumpEvents() = 0;
  // True when a child's exit status says that it crashed or was killed rather
  // than ended by itself (POSIX: 128 + a signal's number; Windows: the
  // system's exception codes, 0xC0000000 and above).
  virtual bool IsCrashStatus(long exit_status) = 0;

  // ---- Windows system calls (status results, never thrown) ----
  // Opens a key below HKEY_LOCAL_MACHINE. On failure *key is kNoRegistryKey.
  // The one exception to the statuses: the POSIX stand-in throws Error for a
  // registry file that is there but is no registry export.
  virtual long OpenRegistryKey(const std::string& sub_key, std::uint32_t access,
                               RegistryKey* key) = 0;
  // Reads a value of an open key. With data null, stores its type and its data
  // size in bytes (a string's size counts its terminating NUL). With data,
  // copies at most *size bytes and stores the real size; kStatusMoreData when
  // the buffer is too small. On failure *type and *size are left unchanged.
  virtual long QueryRegistryValue(RegistryKey key, const std::string& name, std::uint32_t* type,
                                  void* data, std::uint32_t* size) = 0;
  // Releases an open key; the null key is refused with a status.
  virtual long CloseRegistryKey(RegistryKey key) = 0;
  // Reads one key of an INI file's section by the Windows profile rules. Puts
  // the value, or default_value when the section or key is missing, at the
  // start of buffer, cut to size - 1 characters and terminated by a NUL, and
  // returns the number of characters put there, without the terminator.
  virtual std::uint32_t ReadProfileString(const std::string& section, const std::string& key,
                                          const std::string& default_value, char* buffer,
                                          std::uint32_t size, const std::string& file) = 0;
  // The names of the keys of a section of an INI file, as
  // GetPrivateProfileStringA lists them when it is given no key name; none
  // when the file or the section is missing. One read of the file, so that a
  // caller can pass over the keys a section does not hold.
  virtual std::vector<std::string> ReadProfileKeyNames(const std::string& section, const std::string& file) = 0;
  // Fills guid with a new identifier; returns 0 on success, else a failure
  // status and leaves no identifier.
  virtual long CreateGuid(Guid* guid) = 0;
};

// The implementation for the operating system this program is built for;
// argv is the process's own argument vector.
std::unique_ptr<Platform> CreatePlatform(int argc, char** argv);

}  // namespace saplugin
