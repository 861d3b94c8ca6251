#include "link/frame.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"

namespace vsk {

namespace {

constexpr uint8_t kCp1251UkrainianCapitalI = 0xB2;
constexpr uint8_t kCp1251UkrainianSmallI = 0xB3;

}  // namespace

uint32_t FrameCheck(const uint8_t* bytes, size_t count) {
    uint32_t r = 0;
    for (size_t i = 0; i < count; ++i) {
        // The register widens each byte as a signed char before mixing it in, so bytes from
        // 0x80 up (the start and end bytes among them) set the upper 24 bits. This is why the
        // check is not plain CRC-16/KERMIT.
        r ^= static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(bytes[i])));
        const uint32_t t = (r ^ (r << 4)) & 0xFF;
        r = (r >> 8) ^ (t << 8) ^ (t << 3) ^ (t >> 4);
    }
    return r;
}

bool EncodeFrame(std::string_view text, std::vector<uint8_t>& frame) {
    frame.clear();
    if (text.size() > kMaxCommandBytes) {
        return false;
    }
    const size_t n = text.size();
    frame.resize(n + 5);
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        // 866 has no Ukrainian I/i; the register expects the Latin letters in their place,
        // whatever the conversion table would pick.
        if (c == kCp1251UkrainianCapitalI) {
            frame[1 + i] = 'I';
        } else if (c == kCp1251UkrainianSmallI) {
            frame[1 + i] = 'i';
        } else {
            frame[1 + i] = Cp1251ToCp866(c);
        }
    }
    frame[0] = kFrameStart;
    frame[1 + n] = static_cast<uint8_t>(n + 1);
    frame[2 + n] = kFrameEnd;
    frame[3 + n] = 0x00;
    frame[4 + n] = static_cast<uint8_t>(FrameCheck(frame.data(), n + 3) & 0xFF);
    return true;
}

void FrameDecoder::Commit(size_t count, Sink& sink) {
    m_kept += std::min(count, FreeSize());

    // `pos` is where the unprocessed bytes begin; they are moved to the front once at the end
    // instead of after every frame.
    size_t pos = 0;
    while (pos < m_kept) {
        const uint8_t* begin = m_buffer + pos;
        const uint8_t* end = m_buffer + m_kept;
        const uint8_t* start = std::find(begin, end, kFrameStart);
        if (start == end) {
            pos = m_kept;  // no start byte: everything here is noise or a frame's trailer
            break;
        }
        pos = static_cast<size_t>(start - m_buffer);
        const uint8_t* stop = std::find(start + 1, end, kFrameEnd);
        const size_t available = m_kept - pos;

        if (stop == end && available < kMaxInboundFrame) {
            break;  // incomplete frame: wait for the next read
        }
        const size_t frameLength =
            stop == end ? available + 1 : static_cast<size_t>(stop - start) + 1;
        if (frameLength > kMaxInboundFrame) {
            // More text than a record holds, whether its end byte has come or not (a frame
            // that still has no end byte after kMaxInboundFrame bytes can only be longer). The
            // frame is garbled: most likely its end byte was lost and a later frame's text ran
            // into it. Drop the start byte and everything up to the next start byte, so that
            // such a later frame is still recovered, and carry on. Because this fires as soon
            // as kMaxInboundFrame bytes are held, the receive buffer never fills up and the
            // reader can always read; the result is the same however the stream is split.
            const uint8_t* next = std::find(start + 1, end, kFrameStart);
            pos = static_cast<size_t>(next - m_buffer);
            continue;
        }

        if (frameLength > 3) {
            PrinterMessage message;
            message.length = static_cast<uint8_t>(frameLength - 3);
            for (size_t i = 0; i < message.length; ++i) {
                message.text[i] = static_cast<char>(Cp866ToCp1251(start[1 + i]));
            }
            message.text[message.length] = '\0';
            sink.OnMessage(message);
        }
        pos += frameLength;
    }

    if (pos > 0) {
        std::memmove(m_buffer, m_buffer + pos, m_kept - pos);
        m_kept -= pos;
    }
}

void FrameDecoder::Feed(const uint8_t* data, size_t count, Sink& sink) {
    while (count > 0) {
        const size_t chunk = std::min(count, FreeSize());
        std::memcpy(FreeSpace(), data, chunk);
        Commit(chunk, sink);
        data += chunk;
        count -= chunk;
    }
}

}  // namespace vsk
