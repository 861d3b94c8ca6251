#include "link/frame.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vsk {
namespace {

using Bytes = std::vector<uint8_t>;

struct Collector : FrameDecoder::Sink {
    std::vector<std::string> messages;
    void OnMessage(const PrinterMessage& message) override {
        // Every record must also read as a zero-terminated string of its own length.
        EXPECT_EQ(message.text[message.length], '\0');
        EXPECT_GE(message.length, 1);
        messages.emplace_back(message.Text());
    }
};

Bytes Frame(std::string_view text) {
    Bytes frame;
    EXPECT_TRUE(EncodeFrame(text, frame));
    return frame;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes Repeat(uint8_t byte, size_t count) {
    return Bytes(count, byte);
}

std::vector<std::string> DecodeOneShot(const Bytes& stream, size_t* kept = nullptr) {
    FrameDecoder decoder;
    Collector sink;
    decoder.Feed(stream.data(), stream.size(), sink);
    if (kept != nullptr) {
        *kept = decoder.Kept();
    }
    return sink.messages;
}

TEST(FrameCheck, MatchesKermitForAsciiOnly) {
    const std::string digits = "123456789";
    EXPECT_EQ(FrameCheck(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0x2189u);
    EXPECT_EQ(FrameCheck(nullptr, 0), 0u);
}

TEST(EncodeFrame, WorkedFrames) {
    const struct {
        std::string text;
        Bytes frame;
    } rows[] = {
        {"", {0xFD, 0x01, 0xFE, 0x00, 0xDA}},
        {"abc", {0xFD, 0x61, 0x62, 0x63, 0x04, 0xFE, 0x00, 0x25}},
        {"CONF", {0xFD, 0x43, 0x4F, 0x4E, 0x46, 0x05, 0xFE, 0x00, 0x22}},
        {"NULL", {0xFD, 0x4E, 0x55, 0x4C, 0x4C, 0x05, 0xFE, 0x00, 0x19}},
        {"KASS", {0xFD, 0x4B, 0x41, 0x53, 0x53, 0x05, 0xFE, 0x00, 0xC4}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Frame(row.text), row.frame) << "text \"" << row.text << "\"";
    }
}

TEST(EncodeFrame, ConvertsTo866WithLatinUkrainianI) {
    // Windows-1251: І і Т ¤ -> 866: Latin I, Latin i, 0x92, and 0xFD which goes out unescaped.
    const Bytes frame = Frame("\xB2\xB3\xD2\xA4");
    ASSERT_EQ(frame.size(), 9u);
    EXPECT_EQ(Bytes(frame.begin() + 1, frame.begin() + 5), (Bytes{0x49, 0x69, 0x92, 0xFD}));
    EXPECT_EQ(frame[5], 5);
    EXPECT_EQ(frame[8], FrameCheck(frame.data(), 7) & 0xFF);
}

TEST(EncodeFrame, RefusesTextTheLengthByteCannotCarry) {
    Bytes frame;
    ASSERT_TRUE(EncodeFrame(std::string(kMaxCommandBytes, 'A'), frame));
    EXPECT_EQ(frame.size(), 259u);
    EXPECT_EQ(frame[255], 255);

    frame = {1, 2, 3};
    EXPECT_FALSE(EncodeFrame(std::string(kMaxCommandBytes + 1, 'A'), frame));
    EXPECT_TRUE(frame.empty());
}

TEST(FrameDecoder, CutsStreamsIntoMessages) {
    const Bytes ready = {0xFD, 0x52, 0x45, 0x41, 0x44, 0x59, 0x06, 0xFE, 0x00, 0xAF};
    const struct {
        const char* name;
        Bytes stream;
        std::vector<std::string> messages;
        size_t kept;
    } rows[] = {
        {"register's READY with trailer", ready, {"READY"}, 0},
        {"noise before, between and after",
         Cat({{0x00, 0x41, 0xFE}, ready, {0x13, 0x37}, Frame("SOFTPAPER"), {0x01}}),
         {"READY", "SOFTPAPER"},
         0},
        {"no start byte at all", {0x41, 0x42, 0xFE, 0x00, 0x99}, {}, 0},
        {"empty frames", {0xFD, 0xFE, 0xFD, 0x01, 0xFE}, {}, 0},
        {"end byte inside the text ends the frame",
         {0xFD, 0x41, 0x42, 0xFE, 0x43, 0x44, 0x05, 0xFE},
         {"A"},
         0},
        {"start byte inside the text is text",
         {0xFD, 0x41, 0xFD, 0x42, 0x04, 0xFE},
         {"A\xA4"
          "B"},
         0},
        {"866 text comes back as 1251", {0xFD, 0x92, 0x8E, 0x03, 0xFE}, {"\xD2\xCE"}, 0},
        {"incomplete frame is kept", Cat({ready, {0x00, 0xFD, 0x41, 0x42}}), {"READY"}, 3},
        {"255 text bytes fit a record",
         Cat({{0xFD}, Repeat('x', 255), {0xFF, 0xFE}}),
         {std::string(255, 'x')},
         0},
        {"256 text bytes are dropped",
         Cat({{0xFD}, Repeat('x', 256), {0x00, 0xFE}, ready}),
         {"READY"},
         0},
    };
    for (const auto& row : rows) {
        size_t kept = 0;
        EXPECT_EQ(DecodeOneShot(row.stream, &kept), row.messages) << row.name;
        EXPECT_EQ(kept, row.kept) << row.name;
    }
}

TEST(FrameDecoder, CompletesAFrameAcrossReads) {
    FrameDecoder decoder;
    Collector sink;
    const Bytes frame = Frame("READY");
    decoder.Feed(frame.data(), 4, sink);
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_EQ(decoder.Kept(), 4u);
    decoder.Feed(frame.data() + 4, frame.size() - 4, sink);
    EXPECT_EQ(sink.messages, std::vector<std::string>{"READY"});
    EXPECT_EQ(decoder.Kept(), 0u);
}

TEST(FrameDecoder, OverlongRunResynchronisesOnTheNextStartByte) {
    // A frame whose end byte was lost runs into the next frame's text: the garbled run is
    // dropped and the frame that follows it is still recovered.
    const Bytes stream = Cat({{0xFD}, Repeat('A', 300), Frame("READY"), Frame("NEXT")});
    EXPECT_EQ(DecodeOneShot(stream), (std::vector<std::string>{"READY", "NEXT"}));
}

TEST(FrameDecoder, FullBufferWithoutEndByteIsDroppedAndReadingGoesOn) {
    FrameDecoder decoder;
    Collector sink;
    uint8_t* space = decoder.FreeSpace();
    const size_t size = decoder.FreeSize();
    ASSERT_EQ(size, kReceiveBufferSize);
    space[0] = kFrameStart;
    std::fill(space + 1, space + size, 'A');
    decoder.Commit(size, sink);
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_LT(decoder.Kept(), kMaxInboundFrame);

    // The rest of the broken frame, then a good one: only the good one comes out.
    const Bytes rest = Cat({Repeat('A', 10), {0x10, 0xFE, 0x00, 0x00}, Frame("READY")});
    for (int read = 0; read < 3; ++read) {
        ASSERT_GT(decoder.FreeSize(), rest.size());
        std::copy(rest.begin(), rest.end(), decoder.FreeSpace());
        decoder.Commit(rest.size(), sink);
    }
    EXPECT_EQ(sink.messages, (std::vector<std::string>{"READY", "READY", "READY"}));
}

// A stream as a register sends it: replies with trailers, line noise, a garbled overlong run.
Bytes RecordedStream(std::vector<std::string>& expected) {
    std::mt19937 rng(7);
    Bytes stream = {0x00, 0x13};
    const std::vector<std::string> replies = {"READY", "SOFTPAPER", "HARDPRINTER",
                                              "INFO  0001 0000123456 \xCA\xC0\xD1\xC0", "SHUTDOWN"};
    for (int i = 0; i < 300; ++i) {
        const std::string& text = replies[rng() % replies.size()];
        const Bytes frame = Frame(text);
        stream.insert(stream.end(), frame.begin(), frame.end());
        expected.push_back(text);
        if (i % 17 == 0) {
            const Bytes junk = Cat({{0xFD}, Repeat('Z', 280 + i)});
            stream.insert(stream.end(), junk.begin(), junk.end());
        }
    }
    return stream;
}

TEST(FrameDecoder, SplittingTheStreamDoesNotChangeTheMessages) {
    std::vector<std::string> expected;
    const Bytes stream = RecordedStream(expected);
    ASSERT_GT(stream.size(), 2 * kReceiveBufferSize);
    EXPECT_EQ(DecodeOneShot(stream), expected);

    {
        FrameDecoder decoder;
        Collector sink;
        for (uint8_t b : stream) {
            decoder.Feed(&b, 1, sink);
        }
        EXPECT_EQ(sink.messages, expected) << "byte at a time";
    }
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        FrameDecoder decoder;
        Collector sink;
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min<size_t>(stream.size() - at, 1 + rng() % 600);
            decoder.Feed(stream.data() + at, n, sink);
            at += n;
        }
        EXPECT_EQ(sink.messages, expected) << "seed " << seed;
    }
}

}  // namespace
}  // namespace vsk
