#pragma once
// How a song file is named after its artist and title.
#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace orvweb {

// artist + " - " + title with blanks and hyphens trimmed from both ends of the
// whole; when nothing is left, "song" and the local time as %y%m%d%H%M%S
// (just "song" without a time).
std::u16string SongBaseName(std::u16string_view artist, std::u16string_view title, const std::tm* localTime);

// Every / \ : * ? " < > | (and NUL) becomes one blank; nothing else changes.
std::u16string ReplaceReservedCharacters(std::u16string base);

// The longest name a file system takes, in bytes of UTF-8.
inline constexpr size_t kMaxFileNameBytes = 255;

// Cuts base at a character boundary so that base + extension fit in maxBytes
// bytes of UTF-8; the extension is kept whole.
std::u16string FitFileName(std::u16string_view base, std::u16string_view extension,
                           size_t maxBytes = kMaxFileNameBytes);

// The local file a player's source names, in UTF-8: an absolute path as it
// is, a file:// URL (empty host or localhost) decoded; nullopt for anything
// else (a stream, a relative name, a URL with a query).
std::optional<std::string> LocalPathOf(std::u16string_view source);

}  // namespace orvweb
