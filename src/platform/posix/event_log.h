#pragma once

#include <ctime>
#include <string>

namespace saplugin {

// One event-log line: "YYYY-MM-DDTHH:MM:SSZ saplugin[PID]: TEXT" with its
// line feed; line breaks inside the text become blanks, so that an entry is
// always one line.
std::string FormatEventLine(std::time_t when, long pid, const std::string& text);

// Appends one entry to the file named by SAPLUGIN_EVENTLOG in a single write,
// so that runs in parallel never interleave; to syslog, at the priority
// (LOG_WARNING or LOG_ERR), when it is unset. A text longer than Windows's
// event log takes is cut as CutEventText cuts it.
// Throws Error when the file cannot be written.
void WriteEvent(int priority, const std::string& text);

}  // namespace saplugin
