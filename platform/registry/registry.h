#pragma once
// A per-user typed key store in the manner of the Windows registry.
//
// Key paths name a hive and its keys, separated by backslashes, for example
// "HKEY_CURRENT_USER\\Software\\Rived Idadazaz\\OrvWebRecorder\\Settings".
// Each key is a folder under the store's root (by default
// $XDG_CONFIG_HOME/orvweb/registry), its values a small text file in it:
//
//   "OutputFormat"=dword:2
//   "Update Date"=qword:1733650000
//   "SongsFolder"=sz:"/home/ann/Music/Orvello Songs/"
//   ; end
//
// Every read reads the file afresh. Every write replaces the file atomically
// (temporary file + rename) under an inter-process lock held around the whole
// read-modify-write, so concurrent writers in several processes lose nothing.
// A file that does not parse (or lacks its closing "; end" line, as a
// half-written one would) reads as holding no values; the next write first
// moves it aside as "values.damaged-<time>" so nothing is silently dropped.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::registry {

enum class ValueType { None, String, Dword, Qword };

class Store {
 public:
  // The default store of the current user, rooted at DefaultRoot() as it
  // stands when each operation runs.
  Store();
  explicit Store(std::filesystem::path root);

  static std::filesystem::path DefaultRoot();

  ValueType TypeOf(std::string_view key, std::string_view name) const;
  std::optional<std::u16string> GetString(std::string_view key, std::string_view name) const;
  std::optional<uint32_t> GetDword(std::string_view key, std::string_view name) const;
  std::optional<uint64_t> GetQword(std::string_view key, std::string_view name) const;

  // Writes create the key and its parents as needed. They return false when
  // the key path is invalid or the file system refuses the write.
  bool SetString(std::string_view key, std::string_view name, std::u16string_view value);
  bool SetDword(std::string_view key, std::string_view name, uint32_t value);
  bool SetQword(std::string_view key, std::string_view name, uint64_t value);
  bool DeleteValue(std::string_view key, std::string_view name);

  bool CreateKey(std::string_view key);
  bool KeyExists(std::string_view key) const;
  // Removes the key with all its sub-keys and values; true when it is gone.
  bool DeleteKey(std::string_view key);
  std::vector<std::string> SubKeys(std::string_view key) const;
  std::vector<std::string> ValueNames(std::string_view key) const;

 private:
  std::filesystem::path Root() const;
  std::optional<std::filesystem::path> KeyFolder(std::string_view key) const;

  std::optional<std::filesystem::path> root_;
};

}  // namespace platform::registry
