// Arbitrary bytes as the update server's version page: reading must never
// crash, and an offer must hold a non-empty address without outer blanks.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "recorder/update/version_page.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int64_t current = 17;
  if (size >= 2) {
    int16_t version;
    std::memcpy(&version, data, sizeof version);
    current = version;
  }
  const std::string_view page(reinterpret_cast<const char*>(data), size);
  const auto offer = orvweb::update::ParseVersionPage(page, current);
  if (offer) {
    if (size == 0 || size > orvweb::update::kMaxVersionPageBytes) __builtin_trap();
    if (offer->url.empty() || offer->url.front() == u' ' || offer->url.back() == u' ') __builtin_trap();
    if (offer->url.find(u'|') != std::u16string::npos) __builtin_trap();
  }
  orvweb::update::DecimalValue(offer ? offer->url : std::u16string());
  return 0;
}
