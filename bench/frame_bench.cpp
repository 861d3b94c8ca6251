#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "link/frame.h"

namespace {

void EncodeFrame(benchmark::State& state) {
    // A sale line as the engine sends it: Cyrillic name, fixed-width numeric fields.
    const std::string text =
        "FISC\xD5\xEB\xB3\xE1 \xE1\xB3\xEB\xE8\xE9      0000001000000012050100000000";
    std::vector<uint8_t> frame;
    frame.reserve(vsk::kMaxCommandBytes + 5);
    for (auto _ : state) {
        vsk::EncodeFrame(text, frame);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(EncodeFrame);

struct CountingSink : vsk::FrameDecoder::Sink {
    size_t messages = 0;
    void OnMessage(const vsk::PrinterMessage& message) override {
        benchmark::DoNotOptimize(message.text);
        ++messages;
    }
};

// What a register sends during a receipt: READY after every command, data replies, the odd
// error word, each frame followed by its trailer bytes.
std::vector<uint8_t> RecordedStream() {
    const char* replies[] = {"READY",
                             "READY",
                             "READY",
                             "SOFTPAPER",
                             "INFO  0001 0000123456 \xCA\xC0\xD1\xC0 1 00000000120500",
                             "READY",
                             "DATE 08.12.26 13:45:16"};
    std::vector<uint8_t> stream;
    std::vector<uint8_t> frame;
    while (stream.size() < 64 * 1024) {
        for (const char* reply : replies) {
            vsk::EncodeFrame(reply, frame);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
    }
    return stream;
}

// Reads of `range(0)` bytes, as the reader thread gets them from the port.
void DecodeRecordedStream(benchmark::State& state) {
    const std::vector<uint8_t> stream = RecordedStream();
    const auto piece = static_cast<size_t>(state.range(0));
    CountingSink sink;
    for (auto _ : state) {
        vsk::FrameDecoder decoder;
        for (size_t at = 0; at < stream.size(); at += piece) {
            decoder.Feed(stream.data() + at, std::min(piece, stream.size() - at), sink);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["messages/s"] =
        benchmark::Counter(static_cast<double>(sink.messages), benchmark::Counter::kIsRate);
}
BENCHMARK(DecodeRecordedStream)->Arg(1)->Arg(64)->Arg(4096);

}  // namespace
