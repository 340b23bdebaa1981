#include "recorder/nowplaying/title_rules.h"

#include <string_view>

#include "recorder/nowplaying/pattern.h"

namespace {

// Each pattern's group 0 is the part removed.
constexpr std::u16string_view kNoisePatterns[] = {
    u"^{\\z\\b*[.\\-]\\b*}",       // "01. ", "3-": a track number and its separator
    u"{--\\bCD.*}",                // "-- CD 2" and everything after it
    u"^{\\d+[\\.\\b\\-]+\\b?}",    // leading digits with ".", "b" or "-" runs
    u"{\\b*\\([^)]+\\)\\b*}",      // " (Live) "
    u"{\\b*\\[[^\\]]+\\]\\b*}",    // " [2004] "
};

void EraseAll(std::u16string& text, std::u16string_view piece) {
  if (piece.empty()) return;
  std::u16string kept;
  kept.reserve(text.size());
  size_t from = 0;
  for (size_t found; (found = text.find(piece, from)) != std::u16string::npos; from = found + piece.size()) {
    kept.append(text, from, found - from);
  }
  kept.append(text, from);
  text.swap(kept);
}

bool IsWhiteSpace(char16_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::u16string TrimWhiteSpace(std::u16string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsWhiteSpace(text[begin])) ++begin;
  while (end > begin && IsWhiteSpace(text[end - 1])) --end;
  return std::u16string(text.substr(begin, end - begin));
}

}  // namespace

bool RemoveMatches(std::u16string& text, const std::u16string& pattern) {
  const std::optional<nowplaying::Pattern> parsed = nowplaying::Pattern::Parse(pattern);
  if (!parsed) return false;
  while (!text.empty()) {
    const std::optional<nowplaying::Pattern::Span> group0 = parsed->FindGroup0(text);
    if (!group0 || group0->length == 0) break;
    const std::u16string piece = text.substr(group0->begin, group0->length);
    EraseAll(text, piece);
  }
  return true;
}

std::u16string CleanTitleText(const std::u16string& text) {
  std::u16string cleaned = text;
  EraseAll(cleaned, u"Winamp");
  for (const std::u16string_view pattern : kNoisePatterns) RemoveMatches(cleaned, std::u16string(pattern));
  const size_t begin = cleaned.find_first_not_of(u" -");
  if (begin == std::u16string::npos) return {};
  const size_t end = cleaned.find_last_not_of(u" -");
  return cleaned.substr(begin, end - begin + 1);
}

void NormalizeNowPlaying(std::u16string& artist, std::u16string& title) {
  artist = CleanTitleText(artist);
  title = CleanTitleText(title);
  if (!artist.empty()) return;
  const size_t hyphen = title.find(u'-');
  if (hyphen == std::u16string::npos) return;
  artist = TrimWhiteSpace(std::u16string_view(title).substr(0, hyphen));
  title = TrimWhiteSpace(std::u16string_view(title).substr(hyphen + 1));
}
