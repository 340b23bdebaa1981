#include "platform/shell/folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cctype>
#include <fstream>
#include <optional>

namespace fs = std::filesystem;

namespace platform::shell {

fs::path HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

namespace {

fs::path ConfigFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return config;
  return HomeFolder() / ".config";
}

// One value of user-dirs.dirs: XDG_MUSIC_DIR="$HOME/Music". Only "$HOME/..."
// and absolute paths are valid there; "$HOME/" alone means the feature is off.
std::optional<fs::path> UserDir(const std::string& key) {
  std::ifstream in(ConfigFolder() / "user-dirs.dirs");
  std::string line;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    if (line.compare(start, key.size() + 1, key + "=") != 0) continue;
    std::string value = line.substr(start + key.size() + 1);
    if (value.size() < 2 || value.front() != '"') continue;
    const size_t close = value.find('"', 1);
    if (close == std::string::npos) continue;
    value = value.substr(1, close - 1);
    std::string unescaped;
    for (size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) ++i;
      unescaped.push_back(value[i]);
    }
    fs::path path;
    if (unescaped.rfind("$HOME", 0) == 0) {
      std::string rest = unescaped.substr(5);
      if (!rest.empty() && rest[0] != '/') continue;
      while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
      if (rest.empty()) return std::nullopt;  // "$HOME/" disables the folder
      path = HomeFolder() / rest;
    } else if (!unescaped.empty() && unescaped[0] == '/') {
      path = unescaped;
    } else {
      continue;
    }
    return path;
  }
  return std::nullopt;
}

}  // namespace

fs::path MusicFolder() {
  if (auto dir = UserDir("XDG_MUSIC_DIR")) return *dir;
  return HomeFolder() / "Music";
}

fs::path StateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return state;
  return HomeFolder() / ".local" / "state";
}

fs::path ProgramFolder() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path(ec);
  return exe.parent_path();
}

std::string UserLanguage() {
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    std::string v(value);
    if (std::string(name) == "LANGUAGE") v = v.substr(0, v.find(':'));
    const size_t cut = v.find_first_of("_.@");
    std::string lang = v.substr(0, cut);
    for (char& c : lang) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lang == "c" || lang == "posix") return "";
    if (lang.empty()) continue;
    return lang;
  }
  return "";
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool FolderExists(const fs::path& folder) {
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFolders(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  return FolderExists(folder);
}

}  // namespace platform::shell
