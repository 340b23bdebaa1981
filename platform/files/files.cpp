#include "platform/files/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace platform::files {
namespace {

uint32_t RandomWord() {
  uint32_t word = 0;
  if (::getrandom(&word, sizeof word, 0) == static_cast<ssize_t>(sizeof word)) return word;
  static thread_local std::mt19937 fallback{std::random_device{}()};
  return static_cast<uint32_t>(fallback());
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool CopyContents(const fs::path& from, NewFile& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!to.Write(buffer, static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  ::close(in);
  return ok;
}

}  // namespace

fs::path TempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp && tmp[0] == '/') {
    struct stat st {};
    if (::stat(tmp, &st) == 0 && S_ISDIR(st.st_mode)) return fs::path(tmp);
  }
  return fs::path("/tmp");
}

std::optional<NewFile> NewFile::CreateUnique(const fs::path& folder, std::string_view prefix) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", RandomWord());
    fs::path path = folder / (std::string(prefix) + hex + ".tmp");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return NewFile(std::move(path), fd);
    if (errno != EEXIST && errno != EINTR) return std::nullopt;
  }
  return std::nullopt;
}

NewFile::NewFile(NewFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(other.fd_), keep_(other.keep_) {
  other.fd_ = -1;
  other.keep_ = true;
}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    if (!keep_ && !path_.empty()) ::unlink(path_.c_str());
    path_ = std::move(other.path_);
    fd_ = other.fd_;
    keep_ = other.keep_;
    other.fd_ = -1;
    other.keep_ = true;
  }
  return *this;
}

NewFile::~NewFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!keep_ && !path_.empty()) ::unlink(path_.c_str());
}

bool NewFile::Write(const void* data, size_t size) { return fd_ >= 0 && WriteAll(fd_, data, size); }

bool NewFile::Close() {
  if (fd_ < 0) return false;
  const bool synced = ::fsync(fd_) == 0 || errno == EINVAL;  // EINVAL: a file system without sync
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return synced && closed;
}

OutputFile::OutputFile(OutputFile&& other) noexcept : fd_(other.fd_), error_(other.error_) { other.fd_ = -1; }

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    error_ = other.error_;
    other.fd_ = -1;
  }
  return *this;
}

OutputFile::~OutputFile() { Close(); }

bool OutputFile::Create(const fs::path& file) {
  Close();
  size_ = 0;
  fd_ = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    error_ = std::error_code(errno, std::system_category());
    return false;
  }
  return true;
}

bool OutputFile::CreateNew(const fs::path& file, unsigned mode) {
  Close();
  size_ = 0;
  fd_ = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777);
  if (fd_ < 0) {
    error_ = std::error_code(errno, std::system_category());
    return false;
  }
  return true;
}

bool OutputFile::Truncate(long long size) {
  if (fd_ < 0) return false;
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0 || ::lseek(fd_, static_cast<off_t>(size), SEEK_SET) < 0) {
    error_ = std::error_code(errno, std::system_category());
    return false;
  }
  size_ = size;
  return true;
}

bool OutputFile::Write(const void* data, size_t size) {
  if (fd_ < 0) {
    error_ = std::make_error_code(std::errc::bad_file_descriptor);
    return false;
  }
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A write of nothing for a non-empty request would repeat forever.
      error_ = n < 0 ? std::error_code(errno, std::system_category()) : std::make_error_code(std::errc::io_error);
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
    size_ += n;
  }
  return true;
}

bool OutputFile::Close() {
  if (fd_ < 0) return true;
  // No retry on EINTR: the descriptor is released either way on Linux.
  const bool closed = ::close(fd_) == 0;
  if (!closed) error_ = std::error_code(errno, std::system_category());
  fd_ = -1;
  return closed;
}

bool FileExists(const fs::path& file) {
  struct stat st {};
  return ::lstat(file.c_str(), &st) == 0;
}

bool RemoveFile(const fs::path& file) { return ::unlink(file.c_str()) == 0 || errno == ENOENT; }

bool RenameNoReplace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a hard link fails on an existing name too.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

bool MoveReplace(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  // Another file system: copy into a new file beside the target, then
  // rename it over the target, so the replace itself stays one step.
  const fs::path folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
  auto copy = NewFile::CreateUnique(folder, "." + to.filename().string() + ".");
  if (!copy) return false;
  if (!CopyContents(from, *copy) || !copy->Close()) return false;
  if (auto mode = Mode(from)) SetMode(copy->path(), *mode);
  if (::rename(copy->path().c_str(), to.c_str()) != 0) return false;
  copy->Keep();
  ::unlink(from.c_str());
  return true;
}

bool ReplaceContents(const fs::path& file, std::string_view bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, bytes.data(), bytes.size());
  return ::close(fd) == 0 && written;
}

bool SetMode(const fs::path& file, unsigned mode) { return ::chmod(file.c_str(), mode & 07777) == 0; }

std::optional<unsigned> Mode(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return static_cast<unsigned>(st.st_mode & 07777);
}

namespace {

bool SyncPath(const fs::path& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL;  // EINVAL: a file system without sync
  ::close(fd);
  return synced;
}

std::string ReadSmallFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Field 22 of /proc/<pid>/stat (after the command name, which may hold
// blanks and parentheses); 0 when the process is gone.
unsigned long long StartTicksOf(long long pid) {
  const std::string stat = ReadSmallFile(("/proc/" + std::to_string(pid) + "/stat").c_str());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  size_t at = close + 1;
  for (int field = 3; field <= 22; ++field) {
    at = stat.find_first_not_of(' ', at);
    if (at == std::string::npos) return 0;
    if (field == 22) return std::strtoull(stat.c_str() + at, nullptr, 10);
    at = stat.find(' ', at);
    if (at == std::string::npos) return 0;
  }
  return 0;
}

std::string BootId() {
  std::string id = ReadSmallFile("/proc/sys/kernel/random/boot_id");
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id.empty() ? "noboot" : id;
}

}  // namespace

bool CreatePrivateFolders(const fs::path& folder) {
  if (folder.empty()) return false;
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (folder.has_parent_path() && folder.parent_path() != folder) CreatePrivateFolders(folder.parent_path());
  if (::mkdir(folder.c_str(), 0700) == 0) return true;
  return errno == EEXIST && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SyncFile(const fs::path& file) { return SyncPath(file, O_RDONLY); }

bool SyncFolder(const fs::path& folder) { return SyncPath(folder.empty() ? fs::path(".") : folder, O_RDONLY | O_DIRECTORY); }

std::optional<FileIdentity> IdentityOf(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino)};
}

ProcessInstance ProcessInstance::Current() {
  const long long pid = ::getpid();
  return ProcessInstance{BootId(), pid, StartTicksOf(pid)};
}

std::optional<ProcessInstance> ProcessInstance::Of(long long pid) {
  const unsigned long long start = StartTicksOf(pid);
  if (start == 0) return std::nullopt;
  return ProcessInstance{BootId(), pid, start};
}

std::string ProcessInstance::Tag() const {
  return bootId + "-" + std::to_string(pid) + "-" + std::to_string(startTicks);
}

std::optional<ProcessInstance> ProcessInstance::FromTag(std::string_view tag) {
  const size_t lastDash = tag.rfind('-');
  if (lastDash == std::string_view::npos || lastDash == 0) return std::nullopt;
  const size_t pidDash = tag.rfind('-', lastDash - 1);
  if (pidDash == std::string_view::npos || pidDash == 0) return std::nullopt;
  const std::string pid(tag.substr(pidDash + 1, lastDash - pidDash - 1));
  const std::string start(tag.substr(lastDash + 1));
  const auto digits = [](const std::string& s) { return !s.empty() && s.size() < 20 && s.find_first_not_of("0123456789") == std::string::npos; };
  if (!digits(pid) || !digits(start)) return std::nullopt;
  const std::string bootId(tag.substr(0, pidDash));
  if (bootId.find('/') != std::string::npos) return std::nullopt;
  return ProcessInstance{bootId, std::stoll(pid), std::stoull(start)};
}

bool ProcessInstance::Alive() const {
  if (pid <= 0 || bootId != BootId()) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  return StartTicksOf(pid) == startTicks;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

bool PReadAll(int fd, void* data, size_t size, long long offset) {
  auto* at = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd, at, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& file, uint64_t maxBytes) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st{};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxBytes) return std::nullopt;
  std::string bytes(static_cast<size_t>(st.st_size), '\0');
  if (!bytes.empty() && !PReadAll(fd.get(), bytes.data(), bytes.size(), 0)) return std::nullopt;
  // A file that grew meanwhile is not the file that was measured.
  char more = 0;
  if (::pread(fd.get(), &more, 1, st.st_size) != 0) return std::nullopt;
  return bytes;
}

bool PWriteAll(int fd, const void* data, size_t size, long long offset) {
  const auto* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, at, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

}  // namespace platform::files
