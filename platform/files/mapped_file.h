#pragma once
// A file mapped into memory and shared with the page cache: what is stored
// into it reaches the file even when the process is killed a moment later,
// without a system call per write.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace platform::files {

class MappedFile {
 public:
  // Creates a new file of `size` bytes (mode 0600, never through a
  // symbolic link, never over a file that is there), allocates its blocks
  // and maps it for reading and writing. The pages are touched and, where
  // the limits allow, locked in memory, so that storing into them later
  // does not wait for the disk. nullopt when any step fails (nothing is
  // left behind).
  static std::optional<MappedFile> Create(const std::filesystem::path& file, size_t size);
  // Maps an existing regular file for reading; nullopt when it cannot.
  static std::optional<MappedFile> OpenForReading(const std::filesystem::path& file);

  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  MappedFile(uint8_t* data, size_t size) : data_(data), size_(size) {}
  void Release();

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace platform::files
