// Code page conversions. Text inside the server is std::string holding Windows-1251 bytes;
// the register speaks code page 866; clients speak UTF-16 (automation) or UTF-8 (JSON wire).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vsk {

// Windows-1251 -> 866 for the wire. І/і (0xB2/0xB3), absent from 866, go out as Latin I/i.
// Other characters that 866 lacks become a readable ASCII neighbour where one exists
// (« » „ “ ” -> '"', ‘ ’ ‚ -> '\'', – — -> '-', … -> '.'), '?' otherwise. № is in 866 (0xFC).
uint8_t Cp1251ToCp866(uint8_t c);
uint8_t Cp866ToCp1251(uint8_t c);  // 866 characters absent from 1251 (box drawing...) -> '?'
std::string Cp1251ToCp866(std::string_view text);
std::string Cp866ToCp1251(std::string_view text);

// Unicode scalar value of a Windows-1251 byte; 0x98 (unassigned) maps to U+FFFD.
char32_t Cp1251ToUnicode(uint8_t c);
// Windows-1251 byte for a Unicode scalar value, or '?' when it has none (then *mapped=false).
uint8_t UnicodeToCp1251(char32_t u, bool* mapped = nullptr);

std::u16string Cp1251ToUtf16(std::string_view text);
// Characters outside Windows-1251 and unpaired surrogates become '?'; their count is added
// to *unmapped when given.
std::string Utf16ToCp1251(std::u16string_view text, size_t* unmapped = nullptr);
std::string Cp1251ToUtf8(std::string_view text);
// Invalid UTF-8 sequences count as unmapped and become '?'.
std::string Utf8ToCp1251(std::string_view text, size_t* unmapped = nullptr);

}  // namespace vsk
