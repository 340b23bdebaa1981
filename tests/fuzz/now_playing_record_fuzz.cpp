// Arbitrary bytes as a copied now-playing record: decoding must stay inside
// the record whatever the fields hold.
#include <cstring>
#include <memory>

#include "shared/now_playing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto record = std::make_unique<orvweb::NowPlayingRecord>();
  std::memset(record.get(), 0, sizeof(orvweb::NowPlayingRecord));
  std::memcpy(record.get(), data, std::min(size, sizeof(orvweb::NowPlayingRecord)));
  const orvweb::NowPlayingSnapshot snap = orvweb::DecodeNowPlaying(*record);
  if (snap.item.author.size() > orvweb::kNowPlayingFieldUnits) __builtin_trap();
  return 0;
}
