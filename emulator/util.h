// Small text helpers of the emulator: fixed-width fields and strict number parsing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace vsk::emu {

// Right-aligned, never cut.
inline std::string PadLeft(std::string_view s, size_t width, char fill = ' ') {
    std::string out(s);
    if (out.size() < width)
        out.insert(0, width - out.size(), fill);
    return out;
}

inline std::string ZeroPad(int64_t value, size_t width) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    std::string out = PadLeft(digits, value < 0 ? (width > 0 ? width - 1 : 0) : width, '0');
    return value < 0 ? "-" + out : out;
}

inline std::string Center(std::string_view s, size_t width) {
    std::string t(s.substr(0, width));
    return std::string((width - t.size()) / 2, ' ') + t;
}

inline std::vector<std::string> SplitWords(std::string_view line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        size_t b = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > b)
            words.emplace_back(line.substr(b, i - b));
    }
    return words;
}

// A fixed-width numeric field: decimal digits, optionally a leading '-'. Anything else
// (blanks included) is malformed.
inline bool ParseField(std::string_view s, int64_t& value) {
    if (s.empty())
        return false;
    bool negative = s[0] == '-';
    if (negative)
        s.remove_prefix(1);
    if (s.empty() || s.size() > 18)
        return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    value = negative ? -v : v;
    return true;
}

inline bool AllDigits(std::string_view s) {
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return !s.empty();
}

// Tax letters А..З in Windows-1251 (0xC0..0xC7); 0 when the character is no tax letter.
inline int TaxIndexOfLetter(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0xC0 && u <= 0xC7 ? u - 0xC0 + 1 : 0;
}
inline char TaxLetter(int index) {
    return static_cast<char>(0xC0 + index - 1);
}

}  // namespace vsk::emu
