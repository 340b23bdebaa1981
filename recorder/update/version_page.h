#pragma once
// The version page of the update server: 8-bit text of 1 to 1000 bytes,
// "<newest version>|<download URL>|<signature URL>". Fields are tokens: empty
// fields between separators and leading separators are skipped. The third
// names the download's detached signature; a page without it offers a
// download that can never be used.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvweb::update {

inline constexpr size_t kMaxVersionPageBytes = 1000;

struct Offer {
  std::u16string url;    // the download address, surrounding white space removed
  std::u16string signatureUrl;  // its signature's address, likewise; empty when the page names none
  bool library = false;  // the address names a ".dll" (any case): replaced silently
};

// The offer of a page, or nullopt when the page is empty or too long, the
// current version is at least the page's, or no download address follows.
// An empty version field counts as newer. Never throws on any input.
std::optional<Offer> ParseVersionPage(std::string_view page, int64_t currentVersion);

// The leading decimal number of text the way C's atoi reads it (white space,
// sign, digits; anything else ends it; 0 when there is none), held to the
// 32-bit range.
int32_t DecimalValue(std::u16string_view text);

}  // namespace orvweb::update
