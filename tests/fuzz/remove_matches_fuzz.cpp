// Random patterns and texts for the title rules. RemoveMatches must end (no
// pattern may loop or stall), only ever remove units, leave the text alone
// when it refuses the pattern; cleaning and splitting must cope with the rest.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "recorder/nowplaying/title_rules.h"

namespace {

// Bytes become units one to one, so the fuzzer's ASCII mutations make
// readable patterns; in wide mode byte pairs give any unit, surrogates too.
std::u16string Units(const std::string& bytes, bool wide) {
  std::u16string units;
  if (!wide) {
    for (const char byte : bytes) units.push_back(static_cast<unsigned char>(byte));
    return units;
  }
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return units;
}

// Removing pieces leaves the kept units in their order.
bool IsSubsequence(const std::u16string& part, const std::u16string& whole) {
  size_t at = 0;
  for (const char16_t unit : whole) {
    if (at < part.size() && part[at] == unit) ++at;
  }
  return at == part.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  FuzzedDataProvider input(data, size);
  const bool wideText = input.ConsumeBool();
  const std::u16string pattern = Units(input.ConsumeRandomLengthString(200), false);
  const std::u16string text = Units(input.ConsumeRemainingBytesAsString(), wideText);

  std::u16string removed = text;
  const bool parsed = RemoveMatches(removed, pattern);
  if (!parsed && removed != text) __builtin_trap();
  if (!IsSubsequence(removed, text)) __builtin_trap();

  std::u16string artist = removed;
  std::u16string title = text;
  NormalizeNowPlaying(artist, title);
  if (title.size() > text.size()) __builtin_trap();
  return 0;
}
