#include "recorder/engine/split_feed.h"

namespace orvweb {

size_t WmaPrimingFrames(uint32_t captureRate) {
  constexpr uint64_t kBlock = 2048;
  constexpr uint64_t kCodecRate = 44100;
  return static_cast<size_t>((kBlock * captureRate + kCodecRate - 1) / kCodecRate);
}

void SongSink::WritePcm(const int16_t* values, size_t frames) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(values);
  if (writer_) {
    writer_->Write(bytes, frames * channels_ * sizeof(int16_t));
  } else {
    encoder_.EncodeSamples(bytes, static_cast<uint32_t>(frames * channels_));
  }
}

}  // namespace orvweb
