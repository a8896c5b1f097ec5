// The Win32 services that the core uses, with the ANSI functions (the event
// log's text excepted: see LogEvent).

#include "platform/windows/windows_api.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "platform/event_text.h"
#include "platform/platform.h"
#include "platform/windows/windows_connection.h"
#include "platform/windows/windows_error.h"
#include "platform/windows/windows_file_system.h"

namespace saplugin {

namespace {

// The event source under which entries are reported, and the message-table
// entry ("%1") that shows each entry's text as it stands.
const char* const kEventSource = "saplugin";
constexpr DWORD kEventTextMessage = 1;

// Text of the ANSI code page in UTF-16, as the ANSI functions convert it.
std::wstring Widened(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  std::wstring wide(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0)), L'\0');
  if (wide.empty() || MultiByteToWideChar(CP_ACP, 0, text.data(), size, &wide[0], static_cast<int>(wide.size())) == 0) {
    throw WindowsError("Could not convert a text to UTF-16", GetLastError());
  }
  return wide;
}

class WindowsChildProcess : public ChildProcess {
 public:
  WindowsChildProcess(HANDLE process, HANDLE job) : process_(process), job_(job) {}

  void EndAll() override {
    // Without a job (a system that refused it), only the interpreter ends.
    if (!job_.Valid() || !TerminateJobObject(job_.Get(), 1)) TerminateProcess(process_.Get(), 1);
    WaitForSingleObject(process_.Get(), 5000);
  }

  bool WaitForEnd(unsigned milliseconds) override {
    const DWORD state = WaitForSingleObject(process_.Get(), milliseconds);
    if (state == WAIT_FAILED) ::Sleep(milliseconds);  // never a pass without a pause
    return state == WAIT_OBJECT_0;
  }

  bool HasEnded(long* exit_status) override {
    const DWORD state = WaitForSingleObject(process_.Get(), 0);
    if (state == WAIT_TIMEOUT) return false;
    DWORD code = 0;
    if (state != WAIT_OBJECT_0 || !GetExitCodeProcess(process_.Get(), &code)) {
      throw WindowsError("Could not wait for the filter's process", GetLastError());
    }
    *exit_status = static_cast<long>(code);
    return true;
  }

 private:
  ScopedHandle process_;
  ScopedHandle job_;
};

// The user of this process's token, read once.
class ProcessUser {
 public:
  ProcessUser() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    ScopedHandle owner(token);
    DWORD size = 0;
    GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
    if (size == 0) return;
    buffer_.resize(size);
    if (!GetTokenInformation(token, ::TokenUser, buffer_.data(), size, &size)) buffer_.clear();
  }
  // Null when the token could not be read.
  PSID Sid() const { return buffer_.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(buffer_.data())->User.Sid; }

 private:
  std::vector<char> buffer_;
};

class WindowsPlatform : public Platform {
 public:
  std::unique_ptr<FileSystem> CreateFileSystem() override {
    return std::make_unique<WindowsFileSystem>();
  }

  const ProcessUser& TokenUser() {
    if (!user_) user_ = std::make_unique<ProcessUser>();
    return *user_;
  }

  std::unique_ptr<Connection> Connect(const std::string& host, std::uint16_t port, Milliseconds timeout) override {
    return ConnectTcp(host, port, timeout);
  }

  void UseParentConsole() override {
    // Output redirected by the caller has a handle already, and keeps it.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != nullptr && output != INVALID_HANDLE_VALUE) return;
    if (AttachConsole(ATTACH_PARENT_PROCESS) && std::freopen("CONOUT$", "w", stdout) != nullptr) std::cout.clear();
  }

  std::string CommandLine() override {
    // The program's name, quoted or up to the first blank, then one blank.
    const char* line = GetCommandLineA();
    if (*line == '"') {
      ++line;
      while (*line != '\0' && *line != '"') ++line;
      if (*line == '"') ++line;
    } else {
      while (*line != '\0' && *line != ' ' && *line != '\t') ++line;
    }
    if (*line == ' ' || *line == '\t') ++line;
    return line;
  }

  std::string ExecutableDirectory() override {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
      throw WindowsError("Could not find the program's own folder", GetLastError());
    }
    std::string exe(path, length);
    return exe.substr(0, exe.find_last_of('\\'));
  }

  void LogEvent(EventLevel level, const std::string& text) override {
    // In UTF-16, the units in which ReportEvent bounds a string: an entry
    // over the bound is never written, so its text is cut between two
    // characters (and says so).
    const std::wstring wide = CutEventText(Widened(text));
    HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
    if (source == nullptr) throw WindowsError("Could not open the event log", GetLastError());
    const wchar_t* strings[] = {wide.c_str()};
    const WORD type = level == EventLevel::kInformation ? EVENTLOG_INFORMATION_TYPE
                      : level == EventLevel::kWarning   ? EVENTLOG_WARNING_TYPE
                                                        : EVENTLOG_ERROR_TYPE;
    // The user's SID goes with the entry: Event Viewer shows it as the User.
    const BOOL reported = ReportEventW(source, type, 0, kEventTextMessage, TokenUser().Sid(), 1, 0, strings, nullptr);
    const DWORD error = GetLastError();
    DeregisterEventSource(source);
    if (!reported) throw WindowsError("Could not write the event log", error);
  }

  std::string AccountName() override {
    PSID sid = TokenUser().Sid();
    if (sid == nullptr) throw WindowsError("Could not read this process's account", ERROR_NO_TOKEN);
    char user[256], domain[256];
    DWORD user_size = sizeof user, domain_size = sizeof domain;
    SID_NAME_USE use;
    if (!LookupAccountSidA(nullptr, sid, user, &user_size, domain, &domain_size, &use)) {
      throw WindowsError("Could not look up this process's account", GetLastError());
    }
    return domain_size == 0 ? std::string(user) : std::string(domain) + "\\" + user;
  }

  std::string EnvironmentValue(const std::string& name) override {
    const DWORD size = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
    if (size == 0) return std::string();
    std::string value(size, '\0');
    const DWORD length = GetEnvironmentVariableA(name.c_str(), &value[0], size);
    value.resize(length < size ? length : 0);
    return value;
  }

  std::unique_ptr<ChildProcess> StartHidden(const std::string& command_line) override {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    std::string line = command_line;  // CreateProcessA may write into it
    // The interpreter is a console program: with no console window at all, as
    // well as a hidden show state, nothing ever appears on the server's desktop.
    // It starts suspended, so that it is in its job before it starts anything.
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &process)) {
      throw WindowsError("Could not start " + Quoted(command_line), GetLastError());
    }
    // A job holds the interpreter and all it starts, so that they end together.
    // Where the system refuses one (a job inside a job before Windows 8), the
    // run goes on without it.
    ScopedHandle job(CreateJobObjectA(nullptr, nullptr));
    if (job.Valid() && !AssignProcessToJobObject(job.Get(), process.hProcess)) job.Reset();
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    return std::make_unique<WindowsChildProcess>(process.hProcess, job.Release());
  }

  void PumpEvents() override {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }

  bool IsCrashStatus(long exit_status) override {
    return static_cast<unsigned long>(exit_status) >= 0xC0000000UL;
  }

  long OpenRegistryKey(const std::string& sub_key, std::uint32_t access, RegistryKey* key) override {
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub_key.c_str(), 0, access, &opened);
    *key = status == ERROR_SUCCESS ? reinterpret_cast<RegistryKey>(opened) : kNoRegistryKey;
    return status;
  }

  long QueryRegistryValue(RegistryKey key, const std::string& name, std::uint32_t* type, void* data,
                          std::uint32_t* size) override {
    DWORD value_type = 0;
    DWORD value_size = size != nullptr ? *size : 0;
    const LONG status = RegQueryValueExA(reinterpret_cast<HKEY>(key), name.c_str(), nullptr, &value_type,
                                         static_cast<BYTE*>(data), size != nullptr ? &value_size : nullptr);
    if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
      if (type != nullptr) *type = value_type;
      if (size != nullptr) *size = value_size;
    }
    return status;
  }

  long CloseRegistryKey(RegistryKey key) override { return RegCloseKey(reinterpret_cast<HKEY>(key)); }

  std::vector<std::string> ReadProfileKeyNames(const std::string& section, const std::string& file) override {
    // The names come one after the other, each ended by a NUL, the list by
    // another; a list that fills the buffer was cut, and is read again with more room.
    for (DWORD size = 4096;; size *= 4) {
      std::vector<char> buffer(size);
      const DWORD length = GetPrivateProfileStringA(section.c_str(), nullptr, "", buffer.data(), size, file.c_str());
      if (length + 2 >= size && size < (1u << 24)) continue;
      std::vector<std::string> names;
      for (DWORD start = 0; start < length;) {
        const std::string name(buffer.data() + start);
        if (name.empty()) break;
        names.push_back(name);
        start += static_cast<DWORD>(name.size()) + 1;
      }
      return names;
    }
  }

  std::uint32_t ReadProfileString(const std::string& section, const std::string& key,
                                  const std::string& default_value, char* buffer, std::uint32_t size,
                                  const std::string& file) override {
    return GetPrivateProfileStringA(section.c_str(), key.c_str(), default_value.c_str(), buffer, size,
                                    file.c_str());
  }

  long CreateGuid(Guid* guid) override {
    GUID made;
    const HRESULT status = CoCreateGuid(&made);
    if (status != S_OK) return status;
    guid->data1 = made.Data1;
    guid->data2 = made.Data2;
    guid->data3 = made.Data3;
    std::memcpy(guid->data4, made.Data4, sizeof guid->data4);
    return 0;
  }

 private:
  std::unique_ptr<ProcessUser> user_;
};

}  // namespace

std::unique_ptr<Platform> CreatePlatform(int /*argc*/, char** /*argv*/) {
  return std::make_unique<WindowsPlatform>();
}

}  // namespace saplugin
