#pragma once
// Where the program keeps its files (session log, settings), and how they are made: the folder
// and the files in it hold the interview's transcript and the user's resume, so nobody but the
// user may read them.

#include <cstdio>
#include <filesystem>

namespace morvelin {

// "MorvelinDesk" under $LOCALAPPDATA when set (non-empty), else under $XDG_DATA_HOME,
// else under ~/.local/share; empty when none of these can be determined.
std::filesystem::path appDataFolder();

// Creates the folder and its missing parents, each new one 0700 (the XDG base-directory
// rule); folders that already exist keep their modes. True when the folder exists afterwards.
bool createPrivateFolder(const std::filesystem::path& folder);

// Opens the file for writing, truncated, readable and writable by the user alone: created
// 0600, and an existing file of ours is tightened to 0600. Null when it cannot be opened.
std::FILE* openPrivateFileForWriting(const std::filesystem::path& file);

}  // namespace morvelin
