// %NAME% expansion with Linux defaults for the Windows known folders.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vsk {

// Expands every %NAME% from the environment; Windows folder names map to Linux backslashes
// turned into '/'. ProgramData defaults to $XDG_STATE_HOME or ~/.local/state, APPDATA to
// $XDG_DATA_HOME or ~/.local/share. Returns nothing when a name has neither value nor default,
// or the result is longer than maxLength.
std::optional<std::string> ExpandEnvironmentStrings(std::string_view text, size_t maxLength = 260);

// mkdir -p; true when the folder exists afterwards. Folders it creates get `mode` (less umask).
bool CreateDirectories(const std::string& path, unsigned mode = 0777);

}  // namespace vsk
