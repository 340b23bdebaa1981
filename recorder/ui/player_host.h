#pragma once
// The media-player host that feeds the plug-in from any MPRIS player. When
// none runs for this user, the recorder registers the plug-in and starts
// one, and ends that one (and only that one) when it goes.
#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>

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
  // The same on a thread of its own: the search through the processes and
  // the registration (a child waited for) do not hold up the window.
  void StartInBackground(const std::filesystem::path& programFolder);
  pid_t startedPid() const { return pid_; }
  // Ends the host started here, if any (SIGTERM, then SIGKILL after 3 s),
  // once a start in the background has finished.
  void Stop();

 private:
  std::atomic<pid_t> pid_{-1};
  std::thread starter_;
};

}  // namespace orvweb::ui
