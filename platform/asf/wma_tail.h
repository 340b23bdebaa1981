#pragma once
// Private to the WMA writer: encoding PCM after the packets a repair copied.
#include <cstdint>

#include "platform/asf/asf.h"
#include "platform/asf/ffmpeg_handles.h"

namespace platform::asf {

// Encodes the tail into stream `streamIndex` of `out` (a wmav2 stream at
// 44.1 kHz stereo, as the writer makes) with the writer's settings; its
// packets follow `nextPts` (the stream's time base) without a gap or an
// overlap. The priming frames' packet is dropped: the first packet written
// is the tail's own. False when the stream is not one the writer makes or
// encoding fails.
bool EncodeWmaTail(AVFormatContext* out, int streamIndex, int64_t nextPts, const PcmTail& tail);

}  // namespace platform::asf
