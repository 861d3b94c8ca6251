// Frames of the register's serial protocol: outbound encoding with its check byte, and the
// decoder that cuts the inbound byte stream into messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vsk {

constexpr uint8_t kFrameStart = 0xFD;
constexpr uint8_t kFrameEnd = 0xFE;
constexpr size_t kMaxCommandBytes = 254;  // the length byte holds n + 1
constexpr size_t kMaxInboundFrame = 258;  // start byte .. end byte, 255 text bytes at most
constexpr size_t kReceiveBufferSize = 4096;

// One decoded message: length byte, text in Windows-1251, terminating zero.
struct PrinterMessage {
    uint8_t length = 0;
    char text[256] = {};
    std::string_view Text() const { return {text, length}; }
};

uint32_t FrameCheck(const uint8_t* bytes, size_t count);

// Frames a Windows-1251 command text. Returns false and leaves `frame` empty when the text is
// longer than kMaxCommandBytes: such a frame's length byte would lie.
bool EncodeFrame(std::string_view text, std::vector<uint8_t>& frame);

// The stream decoder of one port (reader thread only). Keeps an incomplete frame between reads.
// A frame is delimited by the first end byte after its start byte; neither its length byte nor
// the register's trailing check byte is verified. A run from a start byte that reaches
// kMaxInboundFrame bytes without an end byte cannot fit a record: it is dropped up to the next
// start byte. So Kept() stays below kMaxInboundFrame, FreeSize() never drops to zero, and the
// messages do not depend on how the stream was cut into reads.
class FrameDecoder {
public:
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void OnMessage(const PrinterMessage& message) = 0;
    };

    // Where the next read may put bytes, and how many fit behind the kept ones.
    uint8_t* FreeSpace() { return m_buffer + m_kept; }
    size_t FreeSize() const { return kReceiveBufferSize - m_kept; }
    // Decodes after `count` bytes were read into FreeSpace(); every complete frame goes to sink
    // in order of arrival.
    void Commit(size_t count, Sink& sink);
    // Copies bytes in (as many reads as needed) and decodes; for callers that own their buffer.
    void Feed(const uint8_t* data, size_t count, Sink& sink);

    size_t Kept() const { return m_kept; }
    void Reset() { m_kept = 0; }

private:
    uint8_t m_buffer[kReceiveBufferSize] = {};
    size_t m_kept = 0;
};

}  // namespace vsk
