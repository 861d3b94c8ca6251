// Byte-string helpers shared by every folder: the register's fields are fixed widths of
// Windows-1251 bytes and its replies are searched for words; names compare without letter case
// and bytes are written as hex digits. Letter case is ASCII's only: Windows-1251 letters keep
// theirs, whatever the process locale.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vsk {

// `text` filled with `fill` on the right up to `width` bytes; a longer text is kept whole (the
// caller decides whether the field may grow or must be cut, see FixedField).
inline std::string PadRight(std::string_view text, size_t width, char fill = ' ') {
    std::string out(text);
    if (out.size() < width) {
        out.append(width - out.size(), fill);
    }
    return out;
}

// Exactly `width` bytes: `text` cut to the field, or filled up to it.
inline std::string FixedField(std::string_view text, size_t width, char fill = ' ') {
    return PadRight(text.substr(0, width), width, fill);
}

// True when `word` occurs anywhere in `text`. An empty word is never found: a reply that
// "contains nothing" must not match every text.
inline bool Contains(std::string_view text, std::string_view word) {
    return !word.empty() && text.find(word) != std::string_view::npos;
}

// Spaces and tabs: what pads a register's fields and a line typed by a person.
inline constexpr std::string_view kBlanks = " \t";
// Every ASCII white space, line ends included.
inline constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";

// `text` without the characters of `blanks` at its end.
inline std::string TrimRight(std::string_view text, std::string_view blanks = kBlanks) {
    const size_t last = text.find_last_not_of(blanks);
    return std::string(text.substr(0, last == std::string_view::npos ? 0 : last + 1));
}

// `text` without the characters of `blanks` at either end.
inline std::string Trim(std::string_view text, std::string_view blanks = kBlanks) {
    const size_t first = text.find_first_not_of(blanks);
    return first == std::string_view::npos ? std::string() : TrimRight(text.substr(first), blanks);
}

constexpr char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

inline std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = LowerAscii(c);
    return out;
}

enum class HexCase { Lower, Upper };

// The two hex digits of `byte`, high first.
inline void AppendHex(std::string& out, uint8_t byte, HexCase letters) {
    const char* digits = letters == HexCase::Lower ? "0123456789abcdef" : "0123456789ABCDEF";
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

// The value of a hex digit in either letter case; -1 for any other character.
constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The edit distance of two names (insertions, deletions, substitutions and swaps of neighbours),
// ASCII letter case ignored.
inline size_t NameDistance(std::string_view a, std::string_view b) {
    const std::string x = LowerAscii(a), y = LowerAscii(b);
    std::vector<std::vector<size_t>> d(x.size() + 1, std::vector<size_t>(y.size() + 1));
    for (size_t i = 0; i <= x.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= y.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= x.size(); ++i) {
        for (size_t j = 1; j <= y.size(); ++j) {
            const size_t change = d[i - 1][j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1);
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, change});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[x.size()][y.size()];
}

// Of `names`, the one nearest `word`, when it is near enough to be a slip of the fingers (at
// most a third of the word's letters, and at least one); "" when none is.
template <class Names>
std::string NearestName(std::string_view word, const Names& names) {
    std::string best;
    size_t bestDistance = std::max<size_t>(1, word.size() / 3) + 1;
    for (const auto& name : names) {
        const size_t distance = NameDistance(word, name);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = name;
        }
    }
    return best;
}

}  // namespace vsk
