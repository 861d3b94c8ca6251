#include <benchmark/benchmark.h>

#include <cstring>

#include "link/message_container.h"

namespace {

void QueuePutPop(benchmark::State& state) {
    CMessageContainer queue(nullptr);
    vsk::PrinterMessage message;
    message.length = 5;
    std::memcpy(message.text, "READY", 5);
    for (auto _ : state) {
        queue.Put(message);
        benchmark::DoNotOptimize(queue.Peek());
        queue.Pop();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(QueuePutPop);

}  // namespace
