// Byte-string helpers shared by the engine and the emulator: the register's fields are fixed
// widths of Windows-1251 bytes, and its replies are searched for words.
#pragma once

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

}  // namespace vsk
