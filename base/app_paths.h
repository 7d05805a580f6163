#pragma once
// Where the program keeps its files (session log, settings).

#include <filesystem>

namespace morvelin {

// "MorvelinDesk" under $LOCALAPPDATA when set (non-empty), else under $XDG_DATA_HOME,
// else under ~/.local/share; empty when none of these can be determined.
std::filesystem::path appDataFolder();

}  // namespace morvelin
