#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "link/journal.h"

namespace {

// One "<< From Printer <<" line, as the reader thread writes for every message.
void JournalLine(benchmark::State& state) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("vsk_bench_journal_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
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

}  // namespace
