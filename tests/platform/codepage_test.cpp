// The code page tables against glibc iconv as the oracle, plus the UTF-16/UTF-8 edges.
#include "platform/codepage.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <map>
#include <optional>
#include <string>

namespace vsk {
namespace {

// Converts one byte with iconv; nothing when iconv has no mapping for it.
std::optional<std::string> IconvByte(const char* to, const char* from, uint8_t byte) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "iconv cannot convert " << from << " to " << to;
        return std::nullopt;
    }
    char in = static_cast<char>(byte);
    char out[8];
    char* inPtr = &in;
    char* outPtr = out;
    size_t inLeft = 1, outLeft = sizeof out;
    const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inLeft != 0)
        return std::nullopt;
    return std::string(out, outPtr);
}

char32_t LittleEndian32(const std::string& bytes) {
    char32_t u = 0;
    for (int i = 3; i >= 0; --i)
        u = (u << 8) | static_cast<uint8_t>(bytes[i]);
    return u;
}

std::string AllBytes() {
    std::string text;
    for (int b = 0; b < 256; ++b)
        text += static_cast<char>(b);
    return text;
}

TEST(Codepage, Cp1251ToCp866MatchesIconvOrDocumentedFallback) {
    // Characters 866 lacks that still have a readable neighbour on the register's printer.
    const std::map<uint8_t, char> fallback = {
        {0xB2, 'I'}, {0xB3, 'i'}, {0xAB, '"'},  {0xBB, '"'},  {0x84, '"'},
        {0x93, '"'}, {0x94, '"'}, {0x91, '\''}, {0x92, '\''}, {0x82, '\''},
        {0x96, '-'}, {0x97, '-'}, {0x85, '.'},
    };
    const std::string all = AllBytes();
    const std::string converted = Cp1251ToCp866(all);
    ASSERT_EQ(converted.size(), 256u);
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        const auto byte = static_cast<uint8_t>(b);
        char expected;
        if (const auto oracle = IconvByte("CP866", "CP1251", byte)) {
            ASSERT_EQ(oracle->size(), 1u);
            expected = (*oracle)[0];
            EXPECT_FALSE(fallback.contains(byte)) << "fallback hides a real 866 character";
        } else {
            const auto it = fallback.find(byte);
            expected = it == fallback.end() ? '?' : it->second;
        }
        EXPECT_EQ(Cp1251ToCp866(byte), static_cast<uint8_t>(expected));
        EXPECT_EQ(converted[b], expected);
    }
}

TEST(Codepage, Cp866ToCp1251MatchesIconvOrQuestionMark) {
    const std::string converted = Cp866ToCp1251(AllBytes());
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        const auto oracle = IconvByte("CP1251", "CP866", static_cast<uint8_t>(b));
        const char expected = oracle ? (*oracle)[0] : '?';
        EXPECT_EQ(Cp866ToCp1251(static_cast<uint8_t>(b)), static_cast<uint8_t>(expected));
        EXPECT_EQ(converted[b], expected);
    }
}

TEST(Codepage, Cp1251UnicodeMatchesIconvAndRoundTrips) {
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        const auto byte = static_cast<uint8_t>(b);
        const auto oracle = IconvByte("UTF-32LE", "CP1251", byte);
        if (!oracle) {
            EXPECT_EQ(Cp1251ToUnicode(byte), U'\uFFFD');  // 0x98 is unassigned
            continue;
        }
        const char32_t u = LittleEndian32(*oracle);
        EXPECT_EQ(Cp1251ToUnicode(byte), u);
        bool mapped = false;
        EXPECT_EQ(UnicodeToCp1251(u, &mapped), byte);
        EXPECT_TRUE(mapped);
    }
}

TEST(Codepage, UnicodeWithoutCp1251ByteIsQuestionMark) {
    for (char32_t u : {U'\u0098', U'\u00C0', U'\u4E2D', U'\uFFFD', U'\U0001F600'}) {
        SCOPED_TRACE(static_cast<uint32_t>(u));
        bool mapped = true;
        EXPECT_EQ(UnicodeToCp1251(u, &mapped), '?');
        EXPECT_FALSE(mapped);
    }
}

TEST(Codepage, WholeTextMatchesIconvInUtf16AndUtf8) {
    std::string text = AllBytes();
    text.erase(0x98, 1);  // iconv refuses the unassigned byte
    std::u16string utf16 = Cp1251ToUtf16(text);
    std::string utf8 = Cp1251ToUtf8(text);

    iconv_t cd = iconv_open("UTF-8", "CP1251");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string oracle(text.size() * 4, '\0');
    char* in = text.data();
    char* out = oracle.data();
    size_t inLeft = text.size(), outLeft = oracle.size();
    ASSERT_NE(iconv(cd, &in, &inLeft, &out, &outLeft), static_cast<size_t>(-1));
    iconv_close(cd);
    oracle.resize(oracle.size() - outLeft);
    EXPECT_EQ(utf8, oracle);

    size_t unmapped = 0;
    EXPECT_EQ(Utf8ToCp1251(utf8, &unmapped), text);
    EXPECT_EQ(Utf16ToCp1251(utf16, &unmapped), text);
    EXPECT_EQ(unmapped, 0u);
    EXPECT_EQ(Cp1251ToUtf8("\x98"), "\xEF\xBF\xBD");
}

struct Utf16Case {
    std::u16string input;
    std::string expected;
    size_t unmapped;
};

TEST(Codepage, Utf16SurrogatesAndUnmappedCharacters) {
    const Utf16Case cases[] = {
        {u"\U0001F600", "?", 1},  // a pair is one character
        {u"a\U0001F600b", "a?b", 1},
        {std::u16string{u'x', 0xD83D}, "x?", 1},    // high surrogate at the end
        {std::u16string{0xD83D, u'A'}, "?A", 1},    // high surrogate before a non-surrogate
        {std::u16string{0xDE00, u'A'}, "?A", 1},    // lone low surrogate
        {std::u16string{0xDE00, 0xD83D}, "??", 2},  // pair in the wrong order
        {u"\u0406\u0456\u20AC\u4E2D", "\xB2\xB3\x88?", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        size_t unmapped = 5;  // counts are added, not assigned
        EXPECT_EQ(Utf16ToCp1251(c.input, &unmapped), c.expected);
        EXPECT_EQ(unmapped, 5 + c.unmapped);
        EXPECT_EQ(Utf16ToCp1251(c.input), c.expected);
    }
}

struct Utf8Case {
    const char* name;
    std::string input;
    std::string expected;
    size_t unmapped;
};

TEST(Codepage, InvalidUtf8BecomesQuestionMarksAndIsCounted) {
    const Utf8Case cases[] = {
        {"valid Cyrillic and euro", "\xD0\x86\xD1\x96\xE2\x82\xAC", "\xB2\xB3\x88", 0},
        {"valid but not in 1251",
         "a\xE4\xB8\xAD"
         "b",
         "a?b", 1},
        {"stray continuation",
         "a\x80"
         "b",
         "a?b", 1},
        {"truncated at the end", "a\xD0", "a?", 1},
        {"truncated before ASCII",
         "\xE2\x82"
         "A",
         "?A", 1},
        {"overlong two bytes", "\xC0\xAF", "??", 2},
        {"overlong three bytes", "\xE0\x80\xAF", "???", 3},
        {"surrogate", "\xED\xA0\x80", "???", 3},
        {"above U+10FFFF", "\xF4\x90\x80\x80", "????", 4},
        {"invalid lead",
         "\xFF"
         "A",
         "?A", 1},
        {"four bytes valid", "\xF0\x9F\x98\x80", "?", 1},
        {"NUL kept", std::string("a\0b", 3), std::string("a\0b", 3), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        size_t unmapped = 0;
        EXPECT_EQ(Utf8ToCp1251(c.input, &unmapped), c.expected);
        EXPECT_EQ(unmapped, c.unmapped);
    }
}

}  // namespace
}  // namespace vsk
