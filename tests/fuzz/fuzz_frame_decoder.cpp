// Feeds arbitrary bytes to the frame decoder in arbitrary pieces. Besides the sanitizers'
// findings it checks what the reader thread relies on: records are well formed, the decoder
// never holds more than one frame's worth of bytes (so a read always has room), and the
// messages do not depend on how the stream was cut into reads. It also frames the input as a
// command and checks that the decoder gives the command's text back.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/frame.h"
#include "platform/codepage.h"

namespace {

struct Collector : vsk::FrameDecoder::Sink {
    std::vector<std::string> messages;
    void OnMessage(const vsk::PrinterMessage& message) override {
        if (message.length == 0 || message.text[message.length] != '\0') {
            std::abort();
        }
        messages.emplace_back(message.Text());
    }
};

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// Pieces of 1 to maxPiece bytes (pseudo-random from seed); maxPiece 0 feeds all at once.
std::vector<std::string> Decode(const uint8_t* data, size_t size, size_t maxPiece,
                                uint32_t seed = 0) {
    vsk::FrameDecoder decoder;
    Collector sink;
    uint32_t state = seed;
    for (size_t at = 0; at < size;) {
        size_t piece = size - at;
        if (maxPiece != 0) {
            state = state * 1103515245u + 12345u;
            piece = std::min<size_t>(piece, 1 + (state >> 16) % maxPiece);
        }
        decoder.Feed(data + at, piece, sink);
        at += piece;
        Check(decoder.Kept() < vsk::kMaxInboundFrame);
        Check(decoder.FreeSize() > vsk::kReceiveBufferSize - vsk::kMaxInboundFrame);
    }
    return sink.messages;
}

void CheckRoundTrip(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<uint8_t> frame;
    if (!vsk::EncodeFrame(text, frame)) {
        Check(size > vsk::kMaxCommandBytes && frame.empty());
        return;
    }
    Check(frame.size() == size + 5);
    Check(frame[size + 4] == (vsk::FrameCheck(frame.data(), size + 3) & 0xFF));
    // A 0xFE in the wire text, or a length byte of 0xFE, ends the frame early by design.
    for (size_t i = 1; i <= size + 1; ++i) {
        if (frame[i] == vsk::kFrameEnd) {
            return;
        }
    }
    const auto messages = Decode(frame.data(), frame.size(), 0);
    if (size == 0) {
        Check(messages.empty());
        return;
    }
    Check(messages.size() == 1);
    std::string expected;
    for (size_t i = 1; i <= size; ++i) {
        expected += static_cast<char>(vsk::Cp866ToCp1251(frame[i]));
    }
    Check(messages[0] == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t seed = data[0];
    const auto whole = Decode(data + 1, size - 1, 0);
    Check(Decode(data + 1, size - 1, 1) == whole);  // one byte at a time
    Check(Decode(data + 1, size - 1, 4 + seed * 4, seed) == whole);
    CheckRoundTrip(data + 1, size - 1);
    return 0;
}
