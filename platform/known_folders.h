// %NAME% expansion with Linux defaults for the Windows known folders.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vsk {

// Expands every %NAME% from the environment and turns the text into a Linux path: backslashes
// of the text become '/', and no '/' is doubled (a trailing '\' gives a trailing '/'). Values
// are inserted as they are. Empty variables count as unset. The Windows folder names, in any
// case, have defaults: ProgramData is $XDG_STATE_HOME or ~/.local/state, APPDATA is
// $XDG_DATA_HOME or ~/.local/share. A '%' without a closing '%', and "%%", stay as text.
// Returns nothing when a name has neither value nor default, or the result is longer than
// maxLength.
std::optional<std::string> ExpandEnvironmentStrings(std::string_view text, size_t maxLength = 260);

// mkdir -p; true when the folder exists afterwards. Folders it creates get `mode` (less umask).
bool CreateDirectories(const std::string& path, unsigned mode = 0777);

}  // namespace vsk
