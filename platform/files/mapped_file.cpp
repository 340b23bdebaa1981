#include "platform/files/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/files/files.h"

namespace platform::files {

std::optional<MappedFile> MappedFile::Create(const std::filesystem::path& file, size_t size) {
  if (size == 0) return std::nullopt;
  UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) return std::nullopt;
  // The umask may only take bits away, but be exact about who can read it.
  bool ok = ::fchmod(fd.get(), 0600) == 0;
  // Blocks allocated now, not at the first store into each page.
  int rc = 0;
  if (ok) {
    while ((rc = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(size))) == EINTR) {
    }
    // A file system without fallocate still takes a plain size.
    ok = rc == 0 || ((rc == EOPNOTSUPP || rc == EINVAL) && ::ftruncate(fd.get(), static_cast<off_t>(size)) == 0);
  }
  void* data = ok ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd.get(), 0) : MAP_FAILED;
  if (data == MAP_FAILED) {
    ::unlink(file.c_str());
    return std::nullopt;
  }
  MappedFile mapped(static_cast<uint8_t*>(data), size);
  std::memset(data, 0, size);  // every page present and writable
  ::mlock(data, size);         // best effort: RLIMIT_MEMLOCK may refuse
  return mapped;
}

std::optional<MappedFile> MappedFile::OpenForReading(const std::filesystem::path& file) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return std::nullopt;
  const auto size = static_cast<size_t>(st.st_size);
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (data == MAP_FAILED) return std::nullopt;
  return MappedFile(static_cast<uint8_t*>(data), size);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() { Release(); }

void MappedFile::Release() {
  if (data_) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace platform::files
