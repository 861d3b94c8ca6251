// Operational messages of the programs: one line each on standard error, led by the syslog
// priority in angle brackets that journald reads off a service's output ("<3>" an error, "<4>"
// a warning, "<6>" information, "<7>" detail), then the local time and, where the message is
// about a port, the port. The protocol journals are a different thing and stay in their files.
#pragma once

#include <string>
#include <string_view>

namespace vsk {

enum class LogPriority { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

// "<4>2025-03-01 12:00:00 COM5: text"; the port part only when `port` is not empty.
std::string FormatLogLine(LogPriority priority, std::string_view port, std::string_view text);
// Writes the line in one write, so lines of different threads never interleave.
void LogLine(LogPriority priority, std::string_view port, std::string_view text);
inline void LogLine(LogPriority priority, std::string_view text) {
    LogLine(priority, {}, text);
}

}  // namespace vsk
