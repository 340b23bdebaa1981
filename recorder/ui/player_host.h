#pragma once
// The media-player host that feeds the plug-in from any MPRIS player. When
// none runs for this user, the recorder registers the plug-in and starts
// one, and ends that one (and only that one) when it goes.
#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace orvweb::ui {

inline constexpr char kPlayerHostName[] = "orvweb-mpris-host";

// Whether a process of this user runs the host program.
bool PlayerHostRunning();

// The host beside the program, in the build tree, else nullopt (PATH is tried at start).
std::optional<std::filesystem::path> FindPlayerHost(const std::filesystem::path& programFolder);
// The plug-in library installed under the prefix or in the build tree.
std::optional<std::filesystem::path> FindPlugin(const std::filesystem::path& programFolder);

class PlayerHostLauncher {
 public:
  PlayerHostLauncher() = default;
  ~PlayerHostLauncher();
  PlayerHostLauncher(const PlayerHostLauncher&) = delete;
  PlayerHostLauncher& operator=(const PlayerHostLauncher&) = delete;

  // Registers the plug-in and starts the host unless one runs; true when a
  // host runs afterwards.
  bool EnsureRunning(const std::filesystem::path& programFolder);
  pid_t startedPid() const { return pid_; }
  // Ends the host started here, if any (SIGTERM, then SIGKILL after 3 s).
  void Stop();

 private:
  pid_t pid_ = -1;
};

}  // namespace orvweb::ui
