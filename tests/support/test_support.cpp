#include "test_support.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>


namespace testing_support {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && base[0] == '/' ? base : "/tmp") + "/orvweb-test.XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

Child::Child(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot start " + argv.at(0));
  if (pid_ == 0) {
    // A test that dies without unwinding (a sanitizer's abort, a crash)
    // must not leave its servers behind: the child dies with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int Child::Wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  int status = 0;
  const bool done = WaitUntil(
      [&] {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        return r == pid_ || r < 0;
      },
      timeoutMs);
  if (!done) return -1;
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void Child::Kill(int signal) {
  if (pid_ <= 0) return;
  ::kill(pid_, signal);
  if (signal == SIGKILL) Wait();
}

std::filesystem::path SelfFolder() { return std::filesystem::read_symlink("/proc/self/exe").parent_path(); }

namespace {

std::vector<std::string> BusArgv(const std::filesystem::path& socket, const std::optional<std::filesystem::path>& config) {
  std::vector<std::string> argv{"/usr/bin/dbus-daemon", "--nofork", "--nopidfile"};
  if (config) {
    argv.push_back("--config-file=" + config->string());
  } else {
    argv.push_back("--session");
    argv.push_back("--address=unix:path=" + socket.string());
  }
  return argv;
}

bool Accepts(const std::filesystem::path& socket) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket.string().size() >= sizeof addr.sun_path) return false;
  std::strcpy(addr.sun_path, socket.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

BusDaemon::BusDaemon(std::filesystem::path socket, const std::optional<std::filesystem::path>& config)
    : socket_(std::move(socket)), daemon_(BusArgv(socket_, config)) {
  ready_ = WaitUntil([&] { return Accepts(socket_); }, 10000);
}

}  // namespace testing_support
