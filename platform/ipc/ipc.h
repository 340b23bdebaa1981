#pragma once
// Named objects shared between processes of one user: a named lock, a named
// section of fixed size with one writer, and a broadcast notification. All
// live in the user's runtime folder ($XDG_RUNTIME_DIR, or a private 0700
// folder "orvweb-<uid>" in the temporary folder when that is unset).
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform::ipc {

// Why no runtime folder could be had: the folder last tried and the reason.
struct FolderFailure {
  std::filesystem::path folder;
  std::string reason;
};

// The runtime folder, created (0700) when missing. nullopt when no private
// folder can be had: the fallback is refused when it is a symbolic link,
// not a folder, owned by another user or open to others; *failure then says
// which folder and why.
std::optional<std::filesystem::path> RuntimeFolder(FolderFailure* failure = nullptr);

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A lock that other processes see by name; the kernel releases it when the
// holding process dies, so a crash never leaves it stuck.
enum class LockAttempt {
  Acquired,
  Held,         // another holder has it
  Unavailable,  // the lock cannot be made at all (see the failure)
};

class NamedLock {
 public:
  explicit NamedLock(std::string_view name);
  // Takes the lock if nobody holds it; never waits. Tells a lock held by
  // someone else from one that cannot be made; for the latter *failure names
  // the folder and the reason.
  LockAttempt TryLock(FolderFailure* failure = nullptr);
  bool TryAcquire() { return TryLock() == LockAttempt::Acquired; }
  // Waits up to timeoutMs (negative: forever).
  bool Acquire(int timeoutMs);
  void Release();
  bool held() const { return held_; }
  // True when some process (this one included) holds the lock right now.
  static bool IsHeld(std::string_view name);

 private:
  std::string name_;
  Fd fd_;
  bool held_ = false;
};

// The writer side of a named section: creation fails while another writer
// lives; a section left behind by a writer that died is taken over.
class SectionWriter {
 public:
  // How long taking over a dead writer's section waits for readers that hold
  // it at that moment.
  static constexpr int kTakeOverWaitMs = 500;

  // nullptr when the section exists with a live writer or cannot be made.
  static std::unique_ptr<SectionWriter> Create(std::string_view name, size_t size);
  ~SectionWriter();  // the section disappears
  SectionWriter(const SectionWriter&) = delete;
  SectionWriter& operator=(const SectionWriter&) = delete;

  unsigned char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  SectionWriter(std::filesystem::path path, Fd fd, unsigned char* data, size_t size);
  std::filesystem::path path_;
  Fd fd_;
  unsigned char* data_;
  size_t size_;
};

enum class SectionRead { Ok, NotPresent, Unreadable };

// True when a writer holds the section right now.
bool SectionPresent(std::string_view name);
// Copies the first `size` bytes of the section into out. NotPresent when no
// live writer holds it; Unreadable when it exists but cannot be read whole.
SectionRead ReadSection(std::string_view name, void* out, size_t size);

// Posts an empty notification to every listener of the name. Never blocks:
// a listener whose queue is full misses this one; a dead one is removed.
void Broadcast(std::string_view name);

// Receives the notifications of a name; each one is one call of the handler,
// made by whoever serves the descriptor (see fd()).
class BroadcastListener {
 public:
  static std::unique_ptr<BroadcastListener> Create(std::string_view name);
  ~BroadcastListener();
  BroadcastListener(const BroadcastListener&) = delete;
  BroadcastListener& operator=(const BroadcastListener&) = delete;

  int fd() const { return fd_.get(); }
  // Takes every waiting notification without blocking; returns how many.
  int Drain();

 private:
  BroadcastListener(std::filesystem::path path, Fd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  std::filesystem::path path_;
  Fd fd_;
};

}  // namespace platform::ipc
