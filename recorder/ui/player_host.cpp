#include "recorder/ui/player_host.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace orvweb::ui {
namespace fs = std::filesystem;

namespace {

bool Executable(const fs::path& file) { return ::access(file.c_str(), X_OK) == 0 && fs::is_regular_file(file); }

// Runs argv with stdin and stdout on /dev/null; the child's pid or -1.
pid_t Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  // posix_spawnp searches PATH for a bare name.
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int WaitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// A host serves the session whose bus and runtime folder it was started
// with; another session of the same user has hosts of its own.
bool SameSession(const fs::path& process) {
  std::ifstream environ(process / "environ");
  std::string all((std::istreambuf_iterator<char>(environ)), std::istreambuf_iterator<char>());
  const auto value = [&all](const std::string& name) -> std::string {
    const std::string key = name + "=";
    for (size_t at = 0; at < all.size();) {
      const size_t end = all.find('\0', at);
      const std::string entry = all.substr(at, end == std::string::npos ? std::string::npos : end - at);
      if (entry.compare(0, key.size(), key) == 0) return entry.substr(key.size());
      if (end == std::string::npos) break;
      at = end + 1;
    }
    return {};
  };
  for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"}) {
    const char* mine = std::getenv(name);
    if (value(name) != (mine ? mine : "")) return false;
  }
  return true;
}

bool PlayerHostRunning() {
  const uid_t me = ::getuid();
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    struct stat st {};
    if (::stat(entry.path().c_str(), &st) != 0 || st.st_uid != me) continue;
    // The kernel keeps 15 characters of the name.
    std::ifstream comm(entry.path() / "comm");
    std::string line;
    if (!std::getline(comm, line)) continue;
    if (line == std::string(kPlayerHostName).substr(0, 15)) {
      // A zombie host (stopped, not yet reaped) does not count.
      std::ifstream stat(entry.path() / "stat");
      std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
      const size_t paren = all.rfind(')');
      if (paren != std::string::npos && paren + 2 < all.size() && all[paren + 2] == 'Z') continue;
      if (SameSession(entry.path())) return true;
    }
  }
  return false;
}

std::optional<fs::path> FindPlayerHost(const fs::path& programFolder) {
  for (const fs::path& candidate : {programFolder / kPlayerHostName,
                                    programFolder.parent_path() / "host" / kPlayerHostName}) {
    if (Executable(candidate)) return candidate;
  }
  return std::nullopt;
}

std::optional<fs::path> FindPlugin(const fs::path& programFolder) {
  for (const fs::path& candidate : {programFolder.parent_path() / "lib" / "orvweb" / "plugins" / "OrvWeb.so",
                                    programFolder.parent_path() / "plugin" / "OrvWeb.so"}) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return candidate;
  }
  return std::nullopt;
}

bool PlayerHostLauncher::EnsureRunning(const fs::path& programFolder) {
  if (pid_ > 0 || PlayerHostRunning()) return true;
  const auto host = FindPlayerHost(programFolder);
  const std::string program = host ? host->string() : kPlayerHostName;
  // Registering again is harmless and keeps the keys pointing at this copy.
  if (const auto plugin = FindPlugin(programFolder)) {
    const pid_t reg = Spawn({program, "--register", plugin->string()});
    if (reg > 0) WaitExit(reg);
  }
  pid_ = Spawn({program});
  return pid_ > 0;
}

void PlayerHostLauncher::StartInBackground(const fs::path& programFolder) {
  if (starter_.joinable()) return;
  starter_ = std::thread([this, programFolder] { EnsureRunning(programFolder); });
}

PlayerHostLauncher::~PlayerHostLauncher() { Stop(); }

void PlayerHostLauncher::Stop() {
  if (starter_.joinable()) starter_.join();
  if (pid_ <= 0) return;
  const pid_t pid = pid_;
  pid_ = -1;
  // The host writes its closing record on SIGTERM; it is given a moment.
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  WaitExit(pid);
}

}  // namespace orvweb::ui
