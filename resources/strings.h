// The string table: every operator text by number, declared once in strings.def (UTF-8) and
// served in the encoding each layer needs.
#pragma once

#include <string>

namespace vsk {

namespace text {
// The name of every text of the table, for call sites: vsk::text::kNoConnection is 1003.
enum Id : unsigned {
#define VSK_STRING(id, name, utf8) name = id,
#include "resources/strings.def"
#undef VSK_STRING
};
}  // namespace text

// Windows-1251 text of a string resource; empty for an id without text.
const std::string& LoadString1251(unsigned id);
// UTF-8 text of a string resource (for ui/ and stderr); empty for an id without text.
const std::string& LoadStringUtf8(unsigned id);

}  // namespace vsk
