#include "platform/log.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace vsk {

std::string FormatLogLine(LogPriority priority, std::string_view port, std::string_view text) {
    char stamp[32] = "";
    time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local))
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line = "<" + std::to_string(int(priority)) + ">" + stamp + " ";
    if (!port.empty()) {
        line += port;
        line += ": ";
    }
    // A message of several lines stays one line of the log.
    for (char c : text)
        line += c == '\n' ? ' ' : c;
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    line += '\n';
    return line;
}

void LogLine(LogPriority priority, std::string_view port, std::string_view text) {
    std::string line = FormatLogLine(priority, port, text);
    for (size_t done = 0; done < line.size();) {
        ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

}  // namespace vsk
