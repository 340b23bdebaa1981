#include "platform/registry/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <variant>

#include "platform/text/utf.h"

namespace fs = std::filesystem;

namespace platform::registry {
namespace {

constexpr const char* kValuesFile = ".values";
constexpr const char* kLockFile = ".lock";
constexpr const char* kHeader = "; orvweb registry key";
constexpr const char* kEnd = "; end";

using Value = std::variant<std::u16string, uint32_t, uint64_t>;
using Values = std::vector<std::pair<std::string, Value>>;

struct Parsed {
  Values values;
  bool damaged = false;
  bool exists = false;
};

class FileLock {
 public:
  FileLock(const fs::path& path, bool exclusive) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

std::string EscapeComponent(std::string_view part) {
  std::string out;
  for (size_t i = 0; i < part.size(); ++i) {
    const auto c = static_cast<unsigned char>(part[i]);
    if (c == '%' || c == '/' || c < 0x20 || c == 0x7F || (i == 0 && c == '.')) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string UnescapeComponent(std::string_view part) {
  std::string out;
  for (size_t i = 0; i < part.size(); ++i) {
    if (part[i] == '%' && i + 2 < part.size() && HexDigit(part[i + 1]) >= 0 && HexDigit(part[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(part[i + 1]) * 16 + HexDigit(part[i + 2])));
      i += 2;
    } else {
      out.push_back(part[i]);
    }
  }
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::optional<std::string> HiveFolder(std::string_view hive) {
  struct Hive {
    const char* longName;
    const char* shortName;
  };
  static constexpr Hive hives[] = {{"HKEY_CURRENT_USER", "HKCU"},
                                   {"HKEY_LOCAL_MACHINE", "HKLM"},
                                   {"HKEY_CLASSES_ROOT", "HKCR"},
                                   {"HKEY_USERS", "HKU"}};
  for (const Hive& h : hives) {
    if (EqualsNoCase(hive, h.longName) || EqualsNoCase(hive, h.shortName)) return std::string(h.longName);
  }
  return std::nullopt;
}

// Quoted text with \\, \" and \xHH escapes; the file itself is UTF-8.
void WriteQuoted(std::ostream& out, std::string_view text) {
  out << '"';
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out << '\\' << ch;
    } else if (c < 0x20 || c == 0x7F) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out << buf;
    } else {
      out << ch;
    }
  }
  out << '"';
}

// Reads a quoted text at pos; false on any malformation.
bool ReadQuoted(std::string_view line, size_t& pos, std::string& text) {
  if (pos >= line.size() || line[pos] != '"') return false;
  ++pos;
  text.clear();
  while (pos < line.size()) {
    const char c = line[pos++];
    if (c == '"') return true;
    if (c != '\\') {
      text.push_back(c);
      continue;
    }
    if (pos >= line.size()) return false;
    const char e = line[pos++];
    if (e == '"' || e == '\\') {
      text.push_back(e);
    } else if (e == 'x' && pos + 1 < line.size() && HexDigit(line[pos]) >= 0 && HexDigit(line[pos + 1]) >= 0) {
      text.push_back(static_cast<char>(HexDigit(line[pos]) * 16 + HexDigit(line[pos + 1])));
      pos += 2;
    } else {
      return false;
    }
  }
  return false;
}

bool ParseUnsigned(std::string_view digits, uint64_t max, uint64_t& out) {
  if (digits.empty() || digits.size() > 20) return false;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}

bool ParseLine(std::string_view line, Values& values) {
  size_t pos = 0;
  std::string name;
  if (!ReadQuoted(line, pos, name)) return false;
  if (pos >= line.size() || line[pos] != '=') return false;
  const std::string_view rest = line.substr(pos + 1);
  Value value;
  if (rest.starts_with("sz:")) {
    size_t p = 3;
    std::string text;
    if (!ReadQuoted(rest, p, text) || p != rest.size()) return false;
    value = FromUtf8(text);
  } else if (rest.starts_with("dword:")) {
    uint64_t v;
    if (!ParseUnsigned(rest.substr(6), UINT32_MAX, v)) return false;
    value = static_cast<uint32_t>(v);
  } else if (rest.starts_with("qword:")) {
    uint64_t v;
    if (!ParseUnsigned(rest.substr(6), UINT64_MAX, v)) return false;
    value = v;
  } else {
    return false;
  }
  for (const auto& entry : values) {
    if (entry.first == name) return false;  // duplicates never come from our writer
  }
  values.emplace_back(std::move(name), std::move(value));
  return true;
}

Parsed ReadValues(const fs::path& file) {
  Parsed parsed;
  std::ifstream in(file, std::ios::binary);
  if (!in) return parsed;
  parsed.exists = true;
  std::string line;
  bool ended = false;
  bool first = true;
  while (std::getline(in, line)) {
    if (ended) {  // nothing may follow the end marker
      parsed.damaged = true;
      break;
    }
    if (first) {
      first = false;
      if (line != kHeader) {
        parsed.damaged = true;
        break;
      }
      continue;
    }
    if (line == kEnd) {
      ended = true;
      continue;
    }
    if (!ParseLine(line, parsed.values)) {
      parsed.damaged = true;
      break;
    }
  }
  if (in.bad() || !ended) parsed.damaged = true;
  if (parsed.damaged) parsed.values.clear();
  return parsed;
}

std::string Serialise(const Values& values) {
  std::ostringstream out;
  out << kHeader << '\n';
  for (const auto& [name, value] : values) {
    WriteQuoted(out, name);
    out << '=';
    if (const auto* s = std::get_if<std::u16string>(&value)) {
      out << "sz:";
      WriteQuoted(out, ToUtf8(*s));
    } else if (const auto* d = std::get_if<uint32_t>(&value)) {
      out << "dword:" << *d;
    } else {
      out << "qword:" << std::get<uint64_t>(value);
    }
    out << '\n';
  }
  out << kEnd << '\n';
  return out.str();
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReplaceFile(const fs::path& file, const std::string& data) {
  std::string tmp = (file.parent_path() / ".values.tmp-XXXXXX").string();
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

void KeepDamaged(const fs::path& file) {
  const fs::path aside =
      file.parent_path() / (".values.damaged-" + std::to_string(std::time(nullptr)) + "-" + std::to_string(::getpid()));
  if (::rename(file.c_str(), aside.c_str()) == 0) {
    std::fprintf(stderr, "orvweb: damaged settings file kept as %s\n", aside.c_str());
  }
}

const Value* Find(const Values& values, std::string_view name) {
  for (const auto& entry : values) {
    if (entry.first == name) return &entry.second;
  }
  return nullptr;
}

}  // namespace

Store::Store() = default;
Store::Store(fs::path root) : root_(std::move(root)) {}

fs::path Store::DefaultRoot() {
  fs::path base;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
      const passwd* pw = ::getpwuid(::getuid());
      home = pw ? pw->pw_dir : "/tmp";
    }
    base = fs::path(home) / ".config";
  }
  return base / "orvweb" / "registry";
}

fs::path Store::Root() const { return root_ ? *root_ : DefaultRoot(); }

std::optional<fs::path> Store::KeyFolder(std::string_view key) const {
  fs::path folder = Root();
  bool first = true;
  size_t start = 0;
  while (start <= key.size()) {
    size_t end = key.find('\\', start);
    if (end == std::string_view::npos) end = key.size();
    const std::string_view part = key.substr(start, end - start);
    if (part.empty()) return std::nullopt;
    if (first) {
      auto hive = HiveFolder(part);
      if (!hive) return std::nullopt;
      folder /= *hive;
      first = false;
    } else {
      folder /= EscapeComponent(part);
    }
    start = end + 1;
  }
  return folder;
}

namespace {

template <typename T>
std::optional<T> GetTyped(const std::optional<fs::path>& folder, std::string_view name) {
  if (!folder) return std::nullopt;
  const Parsed parsed = ReadValues(*folder / kValuesFile);
  const Value* v = Find(parsed.values, name);
  if (!v) return std::nullopt;
  if (const T* typed = std::get_if<T>(v)) return *typed;
  return std::nullopt;
}

}  // namespace

ValueType Store::TypeOf(std::string_view key, std::string_view name) const {
  const auto folder = KeyFolder(key);
  if (!folder) return ValueType::None;
  const Parsed parsed = ReadValues(*folder / kValuesFile);
  const Value* v = Find(parsed.values, name);
  if (!v) return ValueType::None;
  if (std::holds_alternative<std::u16string>(*v)) return ValueType::String;
  if (std::holds_alternative<uint32_t>(*v)) return ValueType::Dword;
  return ValueType::Qword;
}

std::optional<std::u16string> Store::GetString(std::string_view key, std::string_view name) const {
  return GetTyped<std::u16string>(KeyFolder(key), name);
}
std::optional<uint32_t> Store::GetDword(std::string_view key, std::string_view name) const {
  return GetTyped<uint32_t>(KeyFolder(key), name);
}
std::optional<uint64_t> Store::GetQword(std::string_view key, std::string_view name) const {
  return GetTyped<uint64_t>(KeyFolder(key), name);
}

namespace {

// Read-modify-write of one key's values under the store-wide lock. The edit
// returns false when it changed nothing, which spares the rewrite.
template <typename Edit>
bool ModifyValues(const fs::path& root, const fs::path& folder, Edit edit) {
  FileLock lock(root / kLockFile, true);
  if (!lock.held()) return false;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return false;
  const fs::path file = folder / kValuesFile;
  Parsed parsed = ReadValues(file);
  if (!edit(parsed.values)) return true;
  if (parsed.damaged) KeepDamaged(file);
  return ReplaceFile(file, Serialise(parsed.values));
}

bool ValidName(std::string_view name) { return name.find('\0') == std::string_view::npos; }

}  // namespace

bool Store::SetString(std::string_view key, std::string_view name, std::u16string_view value) {
  const auto folder = KeyFolder(key);
  if (!folder || !ValidName(name)) return false;
  return ModifyValues(Root(), *folder, [&](Values& values) {
    for (auto& entry : values) {
      if (entry.first == name) {
        entry.second = std::u16string(value);
        return true;
      }
    }
    values.emplace_back(std::string(name), std::u16string(value));
    return true;
  });
}

namespace {
template <typename T>
bool SetNumber(const fs::path& root, const std::optional<fs::path>& folder, std::string_view name, T value) {
  if (!folder || !ValidName(name)) return false;
  return ModifyValues(root, *folder, [&](Values& values) {
    for (auto& entry : values) {
      if (entry.first == name) {
        entry.second = value;
        return true;
      }
    }
    values.emplace_back(std::string(name), value);
    return true;
  });
}
}  // namespace

bool Store::SetDword(std::string_view key, std::string_view name, uint32_t value) {
  return SetNumber(Root(), KeyFolder(key), name, value);
}
bool Store::SetQword(std::string_view key, std::string_view name, uint64_t value) {
  return SetNumber(Root(), KeyFolder(key), name, value);
}

bool Store::DeleteValue(std::string_view key, std::string_view name) {
  const auto folder = KeyFolder(key);
  if (!folder) return false;
  std::error_code ec;
  if (!fs::is_directory(*folder, ec)) return true;
  return ModifyValues(Root(), *folder, [&](Values& values) {
    return std::erase_if(values, [&](const auto& entry) { return entry.first == name; }) > 0;
  });
}

bool Store::CreateKey(std::string_view key) {
  const auto folder = KeyFolder(key);
  if (!folder) return false;
  FileLock lock(Root() / kLockFile, true);
  std::error_code ec;
  fs::create_directories(*folder, ec);
  return !ec;
}

bool Store::KeyExists(std::string_view key) const {
  const auto folder = KeyFolder(key);
  std::error_code ec;
  return folder && fs::is_directory(*folder, ec);
}

bool Store::DeleteKey(std::string_view key) {
  const auto folder = KeyFolder(key);
  if (!folder) return false;
  FileLock lock(Root() / kLockFile, true);
  std::error_code ec;
  fs::remove_all(*folder, ec);
  return !ec;
}

std::vector<std::string> Store::SubKeys(std::string_view key) const {
  std::vector<std::string> keys;
  const auto folder = KeyFolder(key);
  if (!folder) return keys;
  std::error_code ec;
  for (fs::directory_iterator it(*folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with('.') && it->is_directory(ec)) keys.push_back(UnescapeComponent(name));
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<std::string> Store::ValueNames(std::string_view key) const {
  std::vector<std::string> names;
  const auto folder = KeyFolder(key);
  if (!folder) return names;
  for (const auto& entry : ReadValues(*folder / kValuesFile).values) names.push_back(entry.first);
  return names;
}

}  // namespace platform::registry
