#include "platform/posix/event_log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/event_text.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/scoped_fd.h"

namespace saplugin {

std::string FormatEventLine(std::time_t when, long pid, const std::string& text) {
  struct tm utc;
  gmtime_r(&when, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string line = std::string(stamp) + " saplugin[" + std::to_string(pid) + "]: ";
  for (char c : text) line.push_back(c == '\r' || c == '\n' ? ' ' : c);
  line.push_back('\n');
  return line;
}

void WriteEvent(int priority, const std::string& whole_text) {
  // Cut as the Windows build cuts it for ReportEvent, so that both builds log the same.
  const std::string text = CutEventText(whole_text);
  const char* file = std::getenv("SAPLUGIN_EVENTLOG");
  if (file == nullptr || *file == '\0') {
    ::openlog("saplugin", LOG_PID, LOG_USER);
    ::syslog(priority, "%s", text.c_str());
    ::closelog();
    return;
  }
  const std::string line = FormatEventLine(std::time(nullptr), static_cast<long>(::getpid()), text);
  ScopedFd fd(::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd.Valid()) throw PosixError("Could not open the event log " + Quoted(file), errno);
  const ssize_t written = ::write(fd.Get(), line.data(), line.size());
  if (written != static_cast<ssize_t>(line.size())) {
    throw PosixError("Could not write the event log " + Quoted(file), written < 0 ? errno : EIO);
  }
  if (fd.Reset() != 0) throw PosixError("Could not write the event log " + Quoted(file), errno);
}

}  // namespace saplugin
