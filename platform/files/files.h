#pragma once
// Plain file operations the way the program needs them: a private temporary
// folder, exclusively created new files, renames that never overwrite by
// accident, and a replace that is atomic for whoever reads the target.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace platform::files {

// The temporary folder: $TMPDIR when it names a folder, else /tmp. Read
// afresh on every call.
std::filesystem::path TempFolder();

// A file created by this process for writing; removed again at scope end
// unless Keep() ran. Writes go straight to the descriptor.
class NewFile {
 public:
  // "<prefix><8 hex digits>.tmp" in folder, created exclusively with mode
  // 0600 so no other process can have planted it. nullopt when no such file
  // could be made.
  static std::optional<NewFile> CreateUnique(const std::filesystem::path& folder, std::string_view prefix);

  NewFile(NewFile&& other) noexcept;
  NewFile& operator=(NewFile&& other) noexcept;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile();

  // Appends all of data; false on any failure (the disk full included).
  bool Write(const void* data, size_t size);
  // Flushes to the disk and closes; false when the data may not be whole.
  bool Close();
  // The file stays when this object ends.
  void Keep() { keep_ = true; }
  const std::filesystem::path& path() const { return path_; }
  // The path changes when the file was renamed by its owner.
  void SetPath(std::filesystem::path path) { path_ = std::move(path); }

 private:
  NewFile(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::filesystem::path path_;
  int fd_ = -1;
  bool keep_ = false;
};

// A file written from its start, closed at scope end. Writing allocates
// nothing, so it may run on a thread that must not allocate.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Creates the file (mode 0666 less the umask) or cuts an existing one to
  // nothing; a file open before is closed first. False when it could not be
  // opened.
  bool Create(const std::filesystem::path& file);
  // Creates the file only if no file of that name exists (error() then
  // tells EEXIST); never opens through a symbolic link.
  bool CreateNew(const std::filesystem::path& file, unsigned mode = 0666);
  bool IsOpen() const { return fd_ >= 0; }
  // Appends all of data; false on any failure (the disk full included, or
  // no file open).
  bool Write(const void* data, size_t size);
  // Closes without flushing to the disk; false when the system reports that
  // written data may be lost. True when no file was open.
  bool Close();
  // Bytes written since Create: where the next write lands.
  long long size() const { return size_; }
  // Cuts the file back to size bytes (a write that failed half-way leaves
  // no partial record behind); false on failure.
  bool Truncate(long long size);
  // Why the last call that failed did so.
  std::error_code error() const { return error_; }

 private:
  int fd_ = -1;
  long long size_ = 0;
  std::error_code error_;
};

bool FileExists(const std::filesystem::path& file);
// True when the file is gone afterwards (also when it never existed).
bool RemoveFile(const std::filesystem::path& file);
// Renames from to to; fails rather than replace anything that exists at to.
bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);
// Puts from in place of to, replacing what is there in one step: readers of
// to see the old file or the new one, never a part. Works across file
// systems (copy beside the target, then rename). from is gone on success.
bool MoveReplace(const std::filesystem::path& from, const std::filesystem::path& to);
// Makes file hold exactly bytes: created when missing (mode 0666 less the
// umask), else truncated and rewritten in place. For small files whose
// readers accept a moment of partial content (a debug log); false when the
// file could not be opened or not all bytes were written.
bool ReplaceContents(const std::filesystem::path& file, std::string_view bytes);
// Sets the permission bits (for example 0644); false on failure.
bool SetMode(const std::filesystem::path& file, unsigned mode);
// The permission bits of an existing file.
std::optional<unsigned> Mode(const std::filesystem::path& file);

// Creates the folder and every missing parent with mode 0700 (a folder
// that exists keeps its mode); false when the folder is not there after.
bool CreatePrivateFolders(const std::filesystem::path& folder);

// Flushes a file's data, or a folder's entries, to the disk; false on
// failure. A new file is synced, and then its folder after a rename, before
// it may stand in for an older one: a power cut then leaves one or the other.
bool SyncFile(const std::filesystem::path& file);
bool SyncFolder(const std::filesystem::path& folder);

// Which file a path names (device and inode, symbolic links followed); two
// paths name the same file when these are equal. nullopt when it does not
// exist.
struct FileIdentity {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& file);

// One run of a program on this machine: the boot it ran in, its PID and the
// moment it started (in clock ticks after the boot), so that a PID reused
// after a crash or a reboot is never taken for the same run.
struct ProcessInstance {
  std::string bootId;
  long long pid = 0;
  unsigned long long startTicks = 0;

  // This process, and another one (nullopt when there is none).
  static ProcessInstance Current();
  static std::optional<ProcessInstance> Of(long long pid);
  // "<boot id>-<pid>-<start>", fit for a file name, and back (nullopt when
  // the text is not one).
  std::string Tag() const;
  static std::optional<ProcessInstance> FromTag(std::string_view tag);
  // The run is still going on.
  bool Alive() const;
  bool operator==(const ProcessInstance&) const = default;
};

// An open descriptor, closed at scope end; negative means none.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// All of size bytes at offset, retried across interruptions and short
// transfers; false on an error or (reading) the end of the file first.
bool PReadAll(int fd, void* data, size_t size, long long offset);
bool PWriteAll(int fd, const void* data, size_t size, long long offset);

// The whole contents of a regular file of at most maxBytes; nullopt when it
// cannot be read, is no regular file or is larger.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& file, uint64_t maxBytes);

}  // namespace platform::files
