// Customer displays: two text lines on the register's own display, or a number with a label
// kind on registers whose display shows numbers only; text passed through to the external
// display.
#include <array>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "engine/simple_command.h"
#include "engine/vsk_core.h"
#include "platform/codepage.h"

namespace {

constexpr size_t kTextLine = 16;
constexpr size_t kNumberWidth = 10;
constexpr size_t kExternalText = 200;

// Windows-1251 upper case, Latin and Cyrillic; the locale plays no part.
char UpperCase1251(char c) {
    auto b = static_cast<uint8_t>(c);
    if ((b >= 'a' && b <= 'z') || b >= 0xE0) {
        return static_cast<char>(b - 0x20);
    }
    switch (b) {
        case 0x90:
            return '\x80';  // ђ
        case 0x83:
            return '\x81';  // ѓ
        case 0x9A:
            return '\x8A';  // љ
        case 0x9C:
            return '\x8C';  // њ
        case 0x9D:
            return '\x8D';  // ќ
        case 0x9E:
            return '\x8E';  // ћ
        case 0x9F:
            return '\x8F';  // џ
        case 0xA2:
            return '\xA1';  // ў
        case 0xBC:
            return '\xA3';  // ј
        case 0xB4:
            return '\xA5';  // ґ
        case 0xB8:
            return '\xA8';  // ё
        case 0xBA:
            return '\xAA';  // є
        case 0xBF:
            return '\xAF';  // ї
        case 0xB3:
            return '\xB2';  // і
        case 0xBE:
            return '\xBD';  // ѕ
        default:
            return c;
    }
}

// The label kinds in the order they are tested; the first kind with a word in the text wins.
// "ВАРТIСТЬ" and "ЦIНА" are written with the Latin capital I, as the register's labels are.
struct LabelKind {
    char kind;
    std::vector<std::string> words;  // Windows-1251
};

const std::vector<LabelKind>& LabelKinds() {
    static const std::vector<LabelKind> kinds = [] {
        auto words = [](std::initializer_list<std::string_view> utf8) {
            std::vector<std::string> out;
            for (std::string_view word : utf8) {
                out.push_back(vsk::Utf8ToCp1251(word));
            }
            return out;
        };
        return std::vector<LabelKind>{
            {'1', words({"ВАРТIСТЬ", "СТОИМОСТЬ", "PRICE", "ЦIНА", "ЦЕНА"})},
            {'2', words({"СУМА", "СУММА", "SUM"})},
            {'3', words({"ЗДАЧА", "СДАЧА", "CASH"})},
        };
    }();
    return kinds;
}

char LabelKindOf(const std::string& upperText) {
    for (const LabelKind& kind : LabelKinds()) {
        for (const std::string& word : kind.words) {
            if (upperText.find(word) != std::string::npos) {
                return kind.kind;
            }
        }
    }
    return '0';
}

bool IsNumberChar(char c) {
    return (c >= '0' && c <= '9') || c == '.';
}

// The first run of digits with at most one point, cut to the field and laid out right-aligned
// without the point; `pointPosition` is one more than the digits after the point (0: none).
std::string NumberField(const std::string& text, int& pointPosition) {
    std::string number;
    size_t i = 0;
    while (i < text.size() && !IsNumberChar(text[i])) {
        ++i;
    }
    bool point = false;
    for (; i < text.size() && IsNumberChar(text[i]); ++i) {
        if (text[i] == '.') {
            if (point) {
                break;  // a second point ends the number
            }
            point = true;
        }
        number += text[i];
    }
    number = number.substr(0, kNumberWidth);
    size_t dot = number.find('.');
    if (dot == std::string::npos) {
        pointPosition = 0;
        number.insert(0, kNumberWidth - number.size(), ' ');
        return number;
    }
    number.insert(0, kNumberWidth + 1 - number.size(), ' ');
    dot = number.find('.');
    pointPosition = static_cast<int>(kNumberWidth + 1 - dot);
    number.erase(dot, 1);
    return number;
}

std::string TextLine(const std::string& line) {
    std::string text = line.substr(0, kTextLine);
    if (!text.empty()) {
        text.append(kTextLine - text.size(), ' ');
    }
    return text;
}

}  // namespace

int16_t CVSKCore::PutToDisplay(const std::string& line1, const std::string& line2) {
    m_journal.LogFormat("PutToDisplay(Line1 = %s, Line2 = %s)", line1.c_str(), line2.c_str());
    const bool textDisplay = m_variant.displayAlwaysText || m_PrinterInfo.m_lDisplaySetting1 == 2;
    if (textDisplay) {
        const std::string first = TextLine(line1);
        const std::string second = TextLine(line2);
        int16_t result = 1;
        if (!first.empty()) {
            result = ExchangeReady({.text = "DISP1" + first});
        }
        if (result && !second.empty()) {
            result = ExchangeReady({.text = "DISP2" + second});
        }
        if (first.empty() && second.empty()) {
            result = ExchangeReady({.text = "DISP"});
        }
        return result;
    }

    if (line1.empty() && line2.empty()) {
        return ExchangeReady({.text = "DISp"});
    }
    std::string text = line1 + line2;
    for (char& c : text) {
        c = c == ',' ? '.' : UpperCase1251(c);
    }
    int pointPosition = 0;
    std::string number = NumberField(text, pointPosition);
    return ExchangeReady({.text = "DISp" + std::string(1, LabelKindOf(text)) +
                                  std::to_string(pointPosition) + number});
}

int16_t CVSKCore::PutToExternalDisplay(const std::string& line, int32_t clearBeforePut) {
    // ESC '@' clears the display before the text and takes two of its characters.
    std::string command = clearBeforePut != 0 ? "DIsp\x1B@" + line.substr(0, kExternalText - 2)
                                              : "DIsp" + line.substr(0, kExternalText);
    return vsk::RunSimpleCommand(
        *this, {.journal = vsk::JournalLine("PutToExternalDisplay(Line = %s, ClearBeforePut = %ld)",
                                            line.c_str(), static_cast<long>(clearBeforePut)),
                .text = command,
                .timeoutMs = vsk::kExternalDisplayTimeoutMs});
}
