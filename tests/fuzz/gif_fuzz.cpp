// The GIF block parser over arbitrary bytes: counting and frame extraction
// never read past the data, and every frame is a complete stand-alone GIF.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "recorder/ui/gif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const auto screen = orvweb::gif::ReadScreen(bytes);
  if (!screen) return 0;
  const size_t images = orvweb::gif::CountImages(bytes, *screen);
  const auto frames = orvweb::gif::ExtractFrames(bytes, *screen);
  if (frames.size() > images) std::abort();
  for (const auto& frame : frames) {
    if (frame.bytes.size() < screen->firstBlock + 2 || frame.bytes.back() != 0x3B) std::abort();
    const std::span<const uint8_t> own(frame.bytes);
    if (orvweb::gif::CountImages(own, *orvweb::gif::ReadScreen(own)) != 1) std::abort();
  }
  return 0;
}
