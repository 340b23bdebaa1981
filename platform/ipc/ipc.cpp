#include "platform/ipc/ipc.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace fs = std::filesystem;

namespace platform::ipc {
namespace {

int FlockRetry(int fd, int op) {
  int rc;
  do {
    rc = ::flock(fd, op);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Names become single file names: a slash could escape the folder.
std::string FileName(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return out;
}

// The folder is checked through a descriptor opened without following a
// link, so what is checked is what the path names: ours, a folder, and
// closed to everyone else.
bool PrivateFolder(const fs::path& dir, bool create, std::string* reason = nullptr) {
  auto fail = [&](std::string why) {
    if (reason) *reason = std::move(why);
    return false;
  };
  if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return fail(std::strerror(errno));
  struct stat link {};
  if (::lstat(dir.c_str(), &link) != 0) return fail(std::strerror(errno));
  if (S_ISLNK(link.st_mode)) return fail("it is a symbolic link");
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return fail(errno == ELOOP ? "it is a symbolic link" : errno == ENOTDIR ? "it is not a folder"
                                                                                    : std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) return fail("it is not a folder");
  if (st.st_uid != ::getuid()) return fail("it belongs to another user");
  if (st.st_mode & 0022) return fail("other users may write to it");
  if (st.st_mode & 0077) return fail("other users may read it");
  return true;
}

std::optional<fs::path> Runtime(std::string_view leaf) {
  auto folder = RuntimeFolder();
  if (!folder) return std::nullopt;
  return *folder / FileName(leaf);
}

// Unix socket addresses hold at most 107 bytes of path; a longer one is
// reached through the folder's descriptor under /proc/self/fd.
class SocketAddress {
 public:
  explicit SocketAddress(const fs::path& path) {
    std::memset(&addr_, 0, sizeof addr_);
    addr_.sun_family = AF_UNIX;
    std::string text = path.string();
    if (text.size() >= sizeof addr_.sun_path) {
      dirFd_ = Fd(::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!dirFd_) return;
      text = "/proc/self/fd/" + std::to_string(dirFd_.get()) + "/" + path.filename().string();
      if (text.size() >= sizeof addr_.sun_path) return;
    }
    std::memcpy(addr_.sun_path, text.c_str(), text.size() + 1);
    ok_ = true;
  }
  bool ok() const { return ok_; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr_); }
  socklen_t length() const { return sizeof addr_; }

 private:
  sockaddr_un addr_;
  Fd dirFd_;
  bool ok_ = false;
};

// Takes the exclusive lock of a section whose writer may have died. A live
// writer holds it exclusively for its whole life; a reader holds it shared
// only for the instant of its look. So while a shared lock can still be had
// nobody writes, and the exclusive one is worth waiting for a little.
bool LockDeadSection(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SectionWriter::kTakeOverWaitMs);
  for (;;) {
    if (FlockRetry(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return false;
    if (FlockRetry(fd, LOCK_SH | LOCK_NB) != 0) return false;  // a writer holds it
    FlockRetry(fd, LOCK_UN);
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool SameFile(int fd, const fs::path& path) {
  struct stat a {}, b {};
  return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

std::optional<fs::path> RuntimeFolder(FolderFailure* failure) {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg && xdg[0] == '/') {
    fs::path dir(xdg);
    if (PrivateFolder(dir, false)) return dir;
    // A runtime folder that others can read is not where private names go.
  }
  const char* tmp = std::getenv("TMPDIR");
  fs::path dir = fs::path(tmp && tmp[0] == '/' ? tmp : "/tmp") / ("orvweb-" + std::to_string(::getuid()));
  std::string reason;
  if (PrivateFolder(dir, true, &reason)) return dir;
  if (failure) *failure = FolderFailure{dir, reason};
  return std::nullopt;
}

// ---- NamedLock -------------------------------------------------------------

NamedLock::NamedLock(std::string_view name) : name_(name) {}

LockAttempt NamedLock::TryLock(FolderFailure* failure) {
  if (held_) return LockAttempt::Acquired;
  FolderFailure why;
  if (!fd_) {
    const auto folder = RuntimeFolder(&why);
    if (folder) {
      const fs::path path = *folder / FileName(name_ + ".lock");
      fd_ = Fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
      if (!fd_) why = FolderFailure{*folder, std::strerror(errno)};
    }
  }
  if (fd_) {
    if (FlockRetry(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      return LockAttempt::Acquired;
    }
    if (errno == EWOULDBLOCK) return LockAttempt::Held;
    const std::string reason = std::strerror(errno);
    why = FolderFailure{RuntimeFolder().value_or(fs::path()), reason};
  }
  if (failure) *failure = std::move(why);
  return LockAttempt::Unavailable;
}

bool NamedLock::Acquire(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (TryAcquire()) return true;
    if (!fd_) return false;
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void NamedLock::Release() {
  if (held_) FlockRetry(fd_.get(), LOCK_UN);
  held_ = false;
}

bool NamedLock::IsHeld(std::string_view name) {
  auto path = Runtime(std::string(name) + ".lock");
  if (!path) return false;
  Fd fd(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return false;
  if (FlockRetry(fd.get(), LOCK_SH | LOCK_NB) == 0) return false;
  return errno == EWOULDBLOCK;
}

// ---- Sections --------------------------------------------------------------

SectionWriter::SectionWriter(fs::path path, Fd fd, unsigned char* data, size_t size)
    : path_(std::move(path)), fd_(std::move(fd)), data_(data), size_(size) {}

SectionWriter::~SectionWriter() {
  // Unlink before the lock goes, so a reader never finds a file without writer.
  if (SameFile(fd_.get(), path_)) ::unlink(path_.c_str());
  ::munmap(data_, size_);
}

std::unique_ptr<SectionWriter> SectionWriter::Create(std::string_view name, size_t size) {
  auto path = Runtime(name);
  if (!path || size == 0) return nullptr;

  // The file is locked and sized before it appears under its name (link is
  // atomic), so a visible section without a lock is one whose writer died.
  std::string tmp = (path->parent_path() / ("." + FileName(name) + ".XXXXXX")).string();
  Fd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd) return nullptr;
  ::fchmod(fd.get(), 0600);
  const bool ready = FlockRetry(fd.get(), LOCK_EX | LOCK_NB) == 0 && ::ftruncate(fd.get(), static_cast<off_t>(size)) == 0;
  bool linked = false;
  for (int attempt = 0; ready && attempt < 3 && !linked; ++attempt) {
    if (::link(tmp.c_str(), path->c_str()) == 0) {
      linked = true;
      break;
    }
    if (errno != EEXIST) break;
    Fd old(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!old) continue;  // vanished meanwhile: try again
    if (!LockDeadSection(old.get())) break;  // a live writer
    // Holding the dead writer's lock, remove its file if it is still the one
    // under the name; nobody else can conclude it is dead while we hold it.
    if (SameFile(old.get(), *path)) ::unlink(path->c_str());
  }
  ::unlink(tmp.c_str());
  if (!linked) return nullptr;

  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (data == MAP_FAILED) {
    if (SameFile(fd.get(), *path)) ::unlink(path->c_str());
    return nullptr;
  }
  return std::unique_ptr<SectionWriter>(
      new SectionWriter(std::move(*path), std::move(fd), static_cast<unsigned char*>(data), size));
}

namespace {
// Opens the section for reading only when a writer holds it.
Fd OpenLiveSection(std::string_view name) {
  auto path = Runtime(name);
  if (!path) return Fd();
  Fd fd(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return Fd();
  if (FlockRetry(fd.get(), LOCK_SH | LOCK_NB) == 0) return Fd();  // left by a dead writer
  return fd;
}
}  // namespace

bool SectionPresent(std::string_view name) { return static_cast<bool>(OpenLiveSection(name)); }

SectionRead ReadSection(std::string_view name, void* out, size_t size) {
  Fd fd = OpenLiveSection(name);
  if (!fd) return SectionRead::NotPresent;
  // pread rather than a mapping: a file cut short can then never fault.
  size_t done = 0;
  auto* bytes = static_cast<unsigned char*>(out);
  while (done < size) {
    const ssize_t n = ::pread(fd.get(), bytes + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return SectionRead::Unreadable;
    done += static_cast<size_t>(n);
  }
  return SectionRead::Ok;
}

// ---- Broadcast -------------------------------------------------------------

namespace {
std::optional<fs::path> BroadcastFolder(std::string_view name, bool create) {
  auto dir = Runtime(name);
  if (!dir) return std::nullopt;
  if (!PrivateFolder(*dir, create)) return std::nullopt;
  return dir;
}
std::atomic<uint64_t> listenerCounter{0};
}  // namespace

void Broadcast(std::string_view name) {
  auto dir = BroadcastFolder(name, false);
  if (!dir) return;
  Fd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!sock) return;
  DIR* listing = ::opendir(dir->c_str());
  if (!listing) return;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    const fs::path target = *dir / entry->d_name;
    SocketAddress addr(target);
    if (!addr.ok()) continue;
    if (::sendto(sock.get(), "", 0, MSG_DONTWAIT | MSG_NOSIGNAL, addr.get(), addr.length()) == 0) continue;
    if (errno == ECONNREFUSED) ::unlink(target.c_str());  // its listener is gone
  }
  ::closedir(listing);
}

std::unique_ptr<BroadcastListener> BroadcastListener::Create(std::string_view name) {
  auto dir = BroadcastFolder(name, true);
  if (!dir) return nullptr;
  Fd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!sock) return nullptr;
  const fs::path path =
      *dir / (std::to_string(::getpid()) + "-" + std::to_string(listenerCounter.fetch_add(1)));
  ::unlink(path.c_str());  // a socket of a dead process that had our pid
  SocketAddress addr(path);
  if (!addr.ok() || ::bind(sock.get(), addr.get(), addr.length()) != 0) return nullptr;
  return std::unique_ptr<BroadcastListener>(new BroadcastListener(path, std::move(sock)));
}

BroadcastListener::~BroadcastListener() { ::unlink(path_.c_str()); }

int BroadcastListener::Drain() {
  int count = 0;
  char byte;
  while (::recv(fd_.get(), &byte, sizeof byte, MSG_DONTWAIT) >= 0) ++count;
  return count;
}

}  // namespace platform::ipc
