#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "link/journal.h"

namespace {

std::filesystem::path BenchFolder(const char* name) {
    const auto dir = std::filesystem::temp_directory_path() /
                     (std::string(name) + "_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

// One "<< From Printer <<" line, as the reader thread writes for every message: one write()
// per line, so a killed server keeps every line.
void JournalLine(benchmark::State& state) {
    const auto dir = BenchFolder("vsk_bench_journal");
    {
        vsk::Journal journal(1, true, 3, dir.string() + "/");
        if (!journal.IsOpen()) {
            state.SkipWithError("journal file did not open");
        }
        for (auto _ : state) {
            journal.LogFromPrinter("READY");
        }
        state.SetItemsProcessed(state.iterations());
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(JournalLine);

// The journal as it was before lines went straight to the file: the same line built the same
// way, handed to a stdio buffer that reaches the file only when full or closed. Kept here as
// the baseline the line cost is compared with.
class BufferedJournal {
public:
    explicit BufferedJournal(const std::string& path) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        m_file = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
    }
    ~BufferedJournal() {
        if (m_file) {
            std::fclose(m_file);
        }
    }
    bool IsOpen() const { return m_file != nullptr; }
    void LogFromPrinter(std::string_view text) {
        std::string record = "<< From Printer <<";
        record += text;
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%02d/%02d/%02d %02d:%02d:%02d", local.tm_mon + 1,
                      local.tm_mday, local.tm_year % 100, local.tm_hour, local.tm_min,
                      local.tm_sec);
        std::string line = stamp;
        line += ';';
        for (char c : record) {
            if (c != '\t' && c != '\n' && c != '\r') {
                line += c;
            }
        }
        line += "\r\n";
        std::lock_guard lock(m_mutex);
        (void)std::fwrite(line.data(), 1, line.size(), m_file);
    }

private:
    std::mutex m_mutex;
    std::FILE* m_file = nullptr;
};

void BufferedBaselineLine(benchmark::State& state) {
    const auto dir = BenchFolder("vsk_bench_journal_buffered");
    {
        BufferedJournal journal((dir / "baseline.log").string());
        if (!journal.IsOpen()) {
            state.SkipWithError("baseline file did not open");
        }
        for (auto _ : state) {
            journal.LogFromPrinter("READY");
        }
        state.SetItemsProcessed(state.iterations());
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BufferedBaselineLine);

}  // namespace
