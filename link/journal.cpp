#include "link/journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "platform/codepage.h"
#include "platform/known_folders.h"
#include "platform/log.h"
#include "resources/strings.h"

namespace vsk {
namespace {

constexpr const char* kFilePrefix = "VSKManagerPlus_";
constexpr const char* kFileSuffix = ".log";

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') {
        return folder + name;
    }
    return folder + '/' + name;
}

// "%x %X" of the POSIX locale (MM/DD/YY HH:MM:SS), built by hand so that neither the user's
// locale nor another thread's setlocale can change it.
std::string TimeStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d/%02d/%02d %02d:%02d:%02d", local.tm_mon + 1,
                  local.tm_mday, local.tm_year % 100, local.tm_hour, local.tm_min, local.tm_sec);
    return stamp;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// The day named by "YYYYMMDD"; nothing for anything that is not a real calendar date, so a
// stray file can never be mistaken for an old journal.
std::optional<std::tm> ParseFileDate(std::string_view digits) {
    if (digits.size() != 8) {
        return std::nullopt;
    }
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    auto number = [&](size_t pos, size_t len) {
        int value = 0;
        for (size_t i = pos; i < pos + len; ++i) {
            value = value * 10 + (digits[i] - '0');
        }
        return value;
    };
    const int year = number(0, 4);
    const int month = number(4, 2);
    const int day = number(6, 2);
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1) {
        return std::nullopt;
    }
    const int daysInMonth = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    if (day > daysInMonth) {
        return std::nullopt;
    }
    std::tm date{};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = day;
    date.tm_isdst = -1;
    return date;
}

}  // namespace

Journal::Journal(int32_t portNumber, bool on, int32_t daysToKeep, std::string folder)
    : m_port("COM" + std::to_string(portNumber)) {
    if (folder.empty()) {
        folder = DefaultFolder();
    }
    if (folder.empty()) {
        if (on) {
            Complain("no journal folder: neither %ProgramData% nor %APPDATA% expands", 0);
        }
        return;
    }
    if (on) {
        Open(portNumber, folder);
    }
    if (CreateDirectories(folder, 0700)) {
        Prune(folder, portNumber, daysToKeep, std::time(nullptr));
    }
}

void Journal::Open(int32_t portNumber, const std::string& folder) {
    if (!CreateDirectories(folder, 0700)) {
        Complain("cannot create the journal folder " + folder, errno);
        return;
    }
    // A folder left open to others by an earlier version is closed now: the files in it
    // show every sale.
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) {
        ::chmod(folder.c_str(), st.st_mode & 0700);
    }
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    const std::string path = JoinPath(folder, FileName(portNumber, today));
    // Appended to, never truncated: a port opened twice a day keeps one file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        Complain("cannot open " + path, errno);
        return;
    }
    // Only a regular file of ours is made private; the name may lead elsewhere (a device).
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 077) != 0) {
        ::fchmod(fd, st.st_mode & 0600);
    }
    m_fd = fd;
    m_path = path;
}

void Journal::Complain(std::string what, int error) {
    if (error != 0) {
        what += ": ";
        what += std::strerror(error);
    }
    if (m_complaint.empty()) {
        LogLine(LogPriority::Error, m_port,
                "protocol journal: " + what + "; the port goes on without it");
    }
    // Paths come from the environment in UTF-8; the engine's texts are Windows-1251.
    m_complaint = "protocol journal not written (" + Utf8ToCp1251(what) + ")";
}

Journal::~Journal() {
    Close();
}

std::string Journal::DefaultFolder() {
    for (const char* pattern : {"%ProgramData%\\Halvard JSC\\VSKManagerPlus\\",
                                "%APPDATA%\\Halvard JSC\\VSKManagerPlus\\"}) {
        if (std::optional<std::string> folder = ExpandEnvironmentStrings(pattern, 260)) {
            return *folder;
        }
    }
    return {};
}

std::string Journal::FileName(int32_t portNumber, const std::tm& localDate) {
    char date[16];
    if (std::strftime(date, sizeof date, "%Y%m%d", &localDate) == 0) {
        date[0] = '\0';
    }
    return kFilePrefix + std::to_string(portNumber) + "_" + date + kFileSuffix;
}

bool Journal::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_fd >= 0;
}

std::string Journal::Complaint() const {
    std::lock_guard lock(m_mutex);
    return m_complaint;
}

void Journal::Close() {
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void Journal::WriteLogLine(std::string_view text) {
    std::string line = TimeStamp();
    line += ';';
    line.reserve(line.size() + text.size() + 4);
    for (char c : text) {
        if (c != '\t' && c != '\n' && c != '\r') {
            line += c;
        }
    }
    line += "\r\n";
    std::lock_guard lock(m_mutex);
    if (m_fd < 0) {
        return;
    }
    if (m_brokenLine) {
        line.insert(0, "\r\n");  // ends the fragment a failed write left, so lines stay lines
    }
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t n = ::write(m_fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // A full disk or a failing device is not the logging operation's failure: it goes
            // on, and the complaint tells the clients that the journal has a gap.
            m_brokenLine = m_brokenLine || rest.size() < line.size();
            Complain("cannot write " + m_path, n < 0 ? errno : ENOSPC);
            return;
        }
        rest.remove_prefix(static_cast<size_t>(n));
    }
    m_brokenLine = false;
    if (!m_complaint.empty()) {
        LogLine(LogPriority::Notice, m_port, "protocol journal: " + m_path + " is written again");
        m_complaint.clear();
    }
}

void Journal::LogFormat(const char* format, ...) {
    char buffer[kMaxRecord + 1];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) > kMaxRecord) {
        return;
    }
    WriteLogLine(std::string_view(buffer, static_cast<size_t>(length)));
}

void Journal::LogToPrinter(std::string_view text, size_t secretBegin, size_t secretLength) {
    std::string line = ">>> To Printer >>>";
    const size_t textStart = line.size();
    line += text;
    if (secretBegin < text.size()) {
        const size_t count = std::min(secretLength, text.size() - secretBegin);
        line.replace(textStart + secretBegin, count, count, '*');
    }
    WriteLogLine(line);
}

void Journal::LogFromPrinter(std::string_view text) {
    std::string line = "<< From Printer <<";
    line += text;
    WriteLogLine(line);
}

void Journal::LogError(std::string_view text) {
    std::string line = "ERROR: ";
    line += text;
    WriteLogLine(line);
}

void Journal::LogErrorString(unsigned stringId) {
    LogError(LoadString1251(stringId));
}

void Journal::LogResourceString(unsigned stringId) {
    WriteLogLine(LoadString1251(stringId));
}

void Journal::Prune(const std::string& folder, int32_t portNumber, int32_t daysToKeep,
                    std::time_t now) {
    // The setting's own clamp, repeated here: a day count below 1 would delete the journal of
    // the day, the very file this port has just opened.
    if (daysToKeep < 1 || daysToKeep > 4096) {
        daysToKeep = 3;
    }
    // The port number is followed by '_' in the prefix, so port 1 never matches port 10's files.
    const std::string prefix = kFilePrefix + std::to_string(portNumber) + "_";
    const std::string_view suffix = kFileSuffix;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.size() < prefix.size() + suffix.size() || !name.starts_with(prefix) ||
            !name.ends_with(suffix)) {
            continue;
        }
        const size_t underscore = name.rfind('_');
        const std::string_view datePart =
            name.substr(underscore + 1, name.size() - suffix.size() - underscore - 1);
        std::optional<std::tm> date = ParseFileDate(datePart);
        if (!date) {
            continue;
        }
        const std::time_t midnight = std::mktime(&*date);
        if (midnight == static_cast<std::time_t>(-1)) {
            continue;
        }
        // Whole days, truncated toward zero: a file dated in the future gives 0 or less.
        const int64_t days =
            (static_cast<int64_t>(now) - static_cast<int64_t>(midnight)) / int64_t{86400};
        if (days > daysToKeep) {
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

}  // namespace vsk
