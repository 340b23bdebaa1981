#pragma once
// Helpers shared by the tests: temporary folders, environment overrides and
// child processes started (and ended) by the test itself.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder, removed with everything in it at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Sets (or with nullopt unsets) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A program started by the test; killed (SIGKILL) and reaped at scope end
// unless Wait() or Kill() ran first.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // Exit status (or 128 + signal); -1 when waiting failed or timed out.
  int Wait(int timeoutMs = 30000);
  void Kill(int signal);

 private:
  pid_t pid_ = -1;
};

// A dbus-daemon of the test's own listening at `socket`: a plain session bus,
// or the bus `config` describes (which must listen there). Ready once the
// socket takes a connection: the file exists from bind(), a moment before the
// daemon listens, and a client that connects then is refused.
class BusDaemon {
 public:
  explicit BusDaemon(std::filesystem::path socket, const std::optional<std::filesystem::path>& config = std::nullopt);
  std::string address() const { return "unix:path=" + socket_.string(); }
  bool ready() const { return ready_; }

 private:
  std::filesystem::path socket_;
  Child daemon_;
  bool ready_ = false;
};

// The folder that holds the test executables' helper programs.
std::filesystem::path SelfFolder();

// Polls cond every 10 ms for up to timeoutMs.
template <typename Cond>
bool WaitUntil(Cond cond, int timeoutMs = 5000);

}  // namespace testing_support

#include <chrono>
#include <thread>

template <typename Cond>
bool testing_support::WaitUntil(Cond cond, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}
