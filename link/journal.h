// The protocol journal of one port: one file per port and opening day, Windows-1251 lines
// "%x %X;text" ended by CR LF, pruned by age. Lines come from the main thread and the port's
// reader thread; each line is written whole, and Close excludes concurrent writers.
#pragma once

#include <cstdint>
#include <cstdio>
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
    mutable std::mutex m_mutex;
    std::FILE* m_file = nullptr;
    std::string m_path;
};

}  // namespace vsk
