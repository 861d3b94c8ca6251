// The protocol journal of one port: one file per port and opening day, Windows-1251 lines
// "%x %X;text" ended by CR LF, pruned by age. Lines come from the main thread and the port's
// reader thread; each line is written whole, and Close excludes concurrent writers.
//
// Each line goes to the kernel with one write() on an O_APPEND descriptor, with no buffer of
// our own in between: a server that is killed loses no line it had written. The folder is
// private to the user (0700) and so is the file (0600): the journal shows what was sold.
// A journal that cannot be opened or written does not stop the port; it says so once on
// stderr and keeps the complaint (Complaint()) until a line gets through again.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

namespace vsk {

class Journal {
public:
    static constexpr size_t kMaxRecord = 1023;

    // Reads nothing itself: the engine passes the settings it read. `folder` empty means the
    // default journal folder (%ProgramData%\Halvard JSC\VSKManagerPlus\, else %APPDATA%...).
    // Opens the day's file when `on`, then prunes the port's old files either way.
    Journal(int32_t portNumber, bool on, int32_t daysToKeep, std::string folder = {});
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    static std::string DefaultFolder();
    static std::string FileName(int32_t portNumber, const std::tm& localDate);

    bool IsOpen() const;
    // Empty while the journal is off or every line reaches the file; otherwise why lines are
    // being lost (Windows-1251, for the client's error detail).
    std::string Complaint() const;
    const std::string& Path() const { return m_path; }
    void Close();  // a line written during or after Close is dropped

    void WriteLogLine(std::string_view text);
    // printf-style; a result longer than kMaxRecord writes nothing. The format is always a
    // literal of ours: client text goes in through %s, never as the format.
    void LogFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // ">>> To Printer >>>" + text; the bytes [secretBegin, secretBegin + secretLength) are shown
    // as '*' so passwords never reach the file.
    void LogToPrinter(std::string_view text, size_t secretBegin = 0, size_t secretLength = 0);
    void LogFromPrinter(std::string_view text);
    void LogError(std::string_view text);
    void LogErrorString(unsigned stringId);
    void LogResourceString(unsigned stringId);

    // Deletes this port's files older than daysToKeep (by the date in their names) in folder.
    static void Prune(const std::string& folder, int32_t portNumber, int32_t daysToKeep,
                      std::time_t now);

private:
    void Open(int32_t portNumber, const std::string& folder);
    void Complain(std::string what, int error);  // with m_mutex held, or before any writer

    const std::string m_port;  // "COM5", for the lines on stderr
    mutable std::mutex m_mutex;
    int m_fd = -1;
    std::string m_path;
    std::string m_complaint;
    bool m_brokenLine = false;  // a failed write left part of a line in the file
};

}  // namespace vsk
