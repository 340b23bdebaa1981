#include "recorder/engine/song_name.h"

#include "platform/text/utf.h"

namespace orvweb {
namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Bytes of the code point starting at text[i] and its length in UTF-16 units.
// A lone surrogate becomes U+FFFD (three bytes), as ToUtf8 writes it.
std::pair<size_t, size_t> CodePointAt(std::u16string_view text, size_t i) {
  const char16_t c = text[i];
  if (c < 0x80) return {1, 1};
  if (c < 0x800) return {2, 1};
  if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) return {4, 2};
  return {3, 1};
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::u16string SongBaseName(std::u16string_view artist, std::u16string_view title, const std::tm* localTime) {
  std::u16string base(artist);
  base += u" - ";
  base += title;
  constexpr std::u16string_view kTrim = u" -";
  const size_t first = base.find_first_not_of(kTrim);
  if (first == std::u16string::npos) {
    base = u"song";
    char stamp[128] = "";
    if (localTime && std::strftime(stamp, sizeof stamp, "%y%m%d%H%M%S", localTime) > 0) {
      base += platform::FromUtf8(stamp);
    }
    return base;
  }
  const size_t last = base.find_last_not_of(kTrim);
  return base.substr(first, last - first + 1);
}

std::u16string ReplaceReservedCharacters(std::u16string base) {
  constexpr std::u16string_view kReserved = u"/\\:*?\"<>|";
  for (char16_t& c : base) {
    if (c == u'\0' || kReserved.find(c) != std::u16string_view::npos) c = u' ';
  }
  return base;
}

std::u16string FitFileName(std::u16string_view base, std::u16string_view extension, size_t maxBytes) {
  size_t extensionBytes = 0;
  for (size_t i = 0; i < extension.size();) {
    const auto [bytes, units] = CodePointAt(extension, i);
    extensionBytes += bytes;
    i += units;
  }
  const size_t room = maxBytes > extensionBytes ? maxBytes - extensionBytes : 0;
  size_t used = 0;
  size_t i = 0;
  while (i < base.size()) {
    const auto [bytes, units] = CodePointAt(base, i);
    if (used + bytes > room) break;
    used += bytes;
    i += units;
  }
  std::u16string name(base.substr(0, i));
  name += extension;
  return name;
}

std::optional<std::string> LocalPathOf(std::u16string_view source) {
  if (!source.empty() && source.front() == u'/') return platform::ToUtf8(source);
  constexpr std::u16string_view kScheme = u"file://";
  if (source.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  std::u16string_view rest = source.substr(kScheme.size());
  // An empty host or "localhost" names this machine.
  constexpr std::u16string_view kLocalhost = u"localhost";
  if (rest.substr(0, kLocalhost.size()) == kLocalhost) rest.remove_prefix(kLocalhost.size());
  if (rest.empty() || rest.front() != u'/') return std::nullopt;
  const std::string encoded = platform::ToUtf8(rest);
  std::string decoded;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size() && HexValue(encoded[i + 1]) >= 0 &&
        HexValue(encoded[i + 2]) >= 0) {
      decoded.push_back(static_cast<char>(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2])));
      i += 2;
    } else if (encoded[i] == '?' || encoded[i] == '#') {
      return std::nullopt;  // a query or fragment is not part of a file's name
    } else {
      decoded.push_back(encoded[i]);
    }
  }
  return decoded;
}

}  // namespace orvweb
