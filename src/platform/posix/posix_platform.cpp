// The POSIX stand-ins for the Windows services that the core uses.

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "platform/platform.h"
#include "platform/posix/event_log.h"
#include "platform/posix/native_path.h"
#include "platform/posix/posix_connection.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/posix_file_system.h"
#include "platform/posix/process_start.h"
#include "platform/posix/profile_file.h"
#include "platform/posix/registry_file.h"
#include "platform/posix/scoped_fd.h"
#include "platform/text.h"

extern char** environ;

namespace saplugin {

namespace {

const char* const kDefaultRegistryFile = "/etc/saplugin/registry.reg";

bool IsProgram(const std::string& path) {
  struct stat info;
  const std::string native = ToNativePath(path);
  return ::stat(native.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(native.c_str(), X_OK) == 0;
}

class PosixChildProcess : public ChildProcess {
 public:
  // The process file descriptor lets a wait end the moment the child does.
  explicit PosixChildProcess(pid_t pid)
      : pid_(pid), pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}

  bool WaitForEnd(unsigned milliseconds) override {
    if (ended_) return true;
    if (pidfd_.Valid()) {
      struct pollfd ready = {pidfd_.Get(), POLLIN, 0};
      const int result = ::poll(&ready, 1, static_cast<int>(milliseconds));
      if (result >= 0) return result > 0;
    }
    // Without a process descriptor (an old kernel) or a working poll, the
    // whole pause is slept: a pass never goes without one.
    struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return false;
  }

  void EndAll() override {
    // Only while the child is not reaped does its group id still stand for
    // its own group.
    if (ended_) return;
    ::kill(-pid_, SIGKILL);
    // SIGKILL cannot be caught: the child ends at once and is reaped here.
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    ended_ = true;
    status_ = 128 + SIGKILL;
  }

  bool HasEnded(long* exit_status) override {
    if (ended_) {
      *exit_status = status_;
      return true;
    }
    int status = 0;
    pid_t got;
    do {
      got = ::waitpid(pid_, &status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got < 0) throw PosixError("Could not wait for process " + std::to_string(pid_), errno);
    if (got == 0) return false;
    if (WIFEXITED(status)) {
      status_ = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      status_ = 128 + WTERMSIG(status);
    } else {
      return false;
    }
    ended_ = true;
    *exit_status = status_;
    return true;
  }

 private:
  pid_t pid_;
  ScopedFd pidfd_;
  bool ended_ = false;
  long status_ = 0;
};

class PosixPlatform : public Platform {
 public:
  PosixPlatform(int argc, char** argv) : args_(argv, argv + argc) {}

  std::unique_ptr<FileSystem> CreateFileSystem() override {
    return std::make_unique<PosixFileSystem>();
  }

  std::string CommandLine() override {
    // The host's words as they came; an empty argument stands for the empty
    // word between two blanks.
    std::string line;
    for (std::size_t i = 1; i < args_.size(); ++i) {
      if (i > 1) line += ' ';
      line += args_[i];
    }
    return line;
  }

  std::string ExecutableDirectory() override {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) throw PosixError("Could not find the program's own folder", errno);
    std::string exe(path, static_cast<std::size_t>(length));
    return exe.substr(0, exe.rfind('/'));
  }

  void LogEvent(EventLevel level, const std::string& text) override {
    WriteEvent(level == EventLevel::kInformation ? LOG_INFO : level == EventLevel::kWarning ? LOG_WARNING : LOG_ERR, text);
  }

  std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port, Milliseconds timeout) override {
    return ConnectTcp(host, port, timeout);
  }

  std::string AccountName() override {
    // The user database's own file, read directly: a statically linked
    // program cannot load the system's name-service modules.
    const uid_t uid = ::geteuid();
    std::ifstream passwd("/etc/passwd");
    for (std::string line; std::getline(passwd, line);) {
      const std::size_t first = line.find(':'), second = first == std::string::npos ? first : line.find(':', first + 1);
      if (second == std::string::npos) continue;
      const std::size_t third = line.find(':', second + 1);
      if (line.substr(second + 1, third - second - 1) == std::to_string(uid) && first > 0) return line.substr(0, first);
    }
    return "uid " + std::to_string(uid);
  }

  std::string EnvironmentValue(const std::string& name) override {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      const char* equals = std::strchr(*entry, '=');
      if (equals == nullptr) continue;
      const auto length = static_cast<std::size_t>(equals - *entry);
      if (SameIgnoringCase(std::string(*entry, length), name)) return equals + 1;
    }
    return std::string();
  }

  std::unique_ptr<ChildProcess> StartHidden(const std::string& command_line) override {
    std::string program;
    std::string rest;
    if (!FindProgram(command_line, IsProgram, &program, &rest)) {
      throw Error(ENOENT, "StartHidden",
                  "Could not start " + Quoted(command_line) + ": no program found at its start");
    }
    std::vector<std::string> words = SplitWindowsArguments(rest);
    const std::string native = ToNativePath(program);
    words.insert(words.begin(), native);
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    // A process group of its own holds the child and all it starts, so that
    // they can be ended together.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, native.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) throw PosixError("Could not start " + Quoted(program), error);
    return std::make_unique<PosixChildProcess>(pid);
  }

  void PumpEvents() override {}

  bool IsCrashStatus(long exit_status) override { return exit_status > 128 && exit_status <= 128 + 64; }

  long OpenRegistryKey(const std::string& sub_key, std::uint32_t /*access*/,
                       RegistryKey* key) override {
    *key = kNoRegistryKey;
    const char* file = std::getenv("SAPLUGIN_REGISTRY");
    const std::string path = file != nullptr && *file != '\0' ? file : kDefaultRegistryFile;
    std::ifstream text(path, std::ios::binary);
    RegistryValues values;
    // A missing file is a missing key; a file that is there but unreadable
    // stops the run rather than pass as "no data directory" in silence.
    if (!text) return kStatusFileNotFound;
    try {
      if (!ReadRegistryKey(text, sub_key, &values)) return kStatusFileNotFound;
    } catch (const Error& error) {
      throw Error(error.Number(), "registry", "Could not read the registry file " + Quoted(path) + ": " + error.Description());
    }
    *key = next_key_++;
    open_keys_[*key] = std::move(values);
    return kStatusSuccess;
  }

  long QueryRegistryValue(RegistryKey key, const std::string& name, std::uint32_t* type,
                          void* data, std::uint32_t* size) override {
    const auto open = open_keys_.find(key);
    if (open == open_keys_.end()) return 6;  // an invalid handle
    const auto value = open->second.find(LowerCase(name));
    if (value == open->second.end()) return kStatusFileNotFound;
    const auto needed = static_cast<std::uint32_t>(value->second.data.size());
    if (data != nullptr) {
      if (size == nullptr || *size < needed) {
        if (size != nullptr) *size = needed;
        return kStatusMoreData;
      }
      std::memcpy(data, value->second.data.data(), needed);
    }
    if (type != nullptr) *type = value->second.type;
    if (size != nullptr) *size = needed;
    return kStatusSuccess;
  }

  long CloseRegistryKey(RegistryKey key) override {
    return open_keys_.erase(key) == 1 ? kStatusSuccess : 6;
  }

  std::vector<std::string> ReadProfileKeyNames(const std::string& section, const std::string& file) override {
    std::ifstream text(ToNativePath(file), std::ios::binary);
    return text ? ProfileKeyNames(text, section) : std::vector<std::string>{};
  }

  std::uint32_t ReadProfileString(const std::string& section, const std::string& key,
                                  const std::string& default_value, char* buffer,
                                  std::uint32_t size, const std::string& file) override {
    if (buffer == nullptr || size == 0) return 0;
    std::ifstream text(ToNativePath(file), std::ios::binary);
    std::string value;
    const bool found = text && FindProfileValue(text, section, key, &value);
    value = found ? CutProfileValue(value, size) : default_value;
    const std::size_t length = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(buffer, value.data(), length);
    buffer[length] = '\0';
    return static_cast<std::uint32_t>(length);
  }

  long CreateGuid(Guid* guid) override {
    std::uint8_t bytes[16];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
      return errno != 0 ? errno : EIO;
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    guid->data1 = static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
                  static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
    guid->data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
    guid->data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid->data4, bytes + 8, 8);
    return 0;
  }

 private:
  std::vector<std::string> args_;
  std::map<RegistryKey, RegistryValues> open_keys_;
  RegistryKey next_key_ = 1;
};

}  // namespace

std::unique_ptr<Platform> CreatePlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace saplugin
