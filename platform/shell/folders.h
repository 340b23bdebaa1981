#pragma once
// The user's folders and language as the desktop defines them.
#include <filesystem>
#include <string>

namespace platform::shell {

// The user's home folder ($HOME, else the password database).
std::filesystem::path HomeFolder();

// The user's music folder: XDG_MUSIC_DIR of the XDG user dirs
// ($XDG_CONFIG_HOME/user-dirs.dirs), else $HOME/Music, the XDG default.
// Read afresh on every call.
std::filesystem::path MusicFolder();

// Where the user's programs keep state that outlives a run (logs):
// $XDG_STATE_HOME when it is absolute, else ~/.local/state. Relative values
// are invalid by the XDG rules and ignored.
std::filesystem::path StateFolder();

// The folder of the running executable, without a trailing slash.
std::filesystem::path ProgramFolder();

// The user's message language as a lower-case code ("de", "en", ...):
// the first non-empty of LANGUAGE (its first entry), LC_ALL, LC_MESSAGES and
// LANG, cut at "_", "." or "@". Empty when none is set or the first set one
// is "C" or "POSIX".
std::string UserLanguage();

// A variable of the process environment; empty when unset.
std::string EnvironmentValue(const char* name);

bool FolderExists(const std::filesystem::path& folder);
// Creates the folder and any missing parents; false when it could not be made.
bool CreateFolders(const std::filesystem::path& folder);

}  // namespace platform::shell
