// The string table: every operator text by number, declared once in strings.def (UTF-8) and
// served in the encoding each layer needs.
#pragma once

#include <string>

namespace vsk {

// Windows-1251 text of a string resource; empty for an id without text.
const std::string& LoadString1251(unsigned id);
// UTF-8 text of a string resource (for ui/ and stderr); empty for an id without text.
const std::string& LoadStringUtf8(unsigned id);

}  // namespace vsk
