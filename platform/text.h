// Byte-string helpers shared by every folder: the register's fields are fixed widths of
// Windows-1251 bytes and its replies are searched for words; names compare without letter case
// and bytes are written as hex digits. Letter case is ASCII's only: Windows-1251 letters keep
// theirs, whatever the process locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

}  // namespace vsk
