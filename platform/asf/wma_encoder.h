#pragma once
// Private to the WMA writer: the encoder it writes with, shared with the
// repair that encodes a tail after copied packets, whose packets must decode
// with the stream's own setup.
#include "platform/asf/ffmpeg_handles.h"
#include "platform/audio/audio.h"
#include "platform/com/hresult.h"

namespace platform::asf::ffmpeg {

constexpr int kOutRate = 44100;
constexpr int64_t kOutBitRate = 128000;

// An open wmav2 encoder: 44.1 kHz stereo float planes at 128 kbit/s, with a
// global header when `container` wants one. E_OUTOFMEMORY or E_FAIL.
HRESULT OpenWmaEncoder(const AVOutputFormat* container, CodecPtr& codec);

// A resampler from the captured 16-bit PCM to the encoder's input; null on
// failure.
ResamplerPtr MakeWmaResampler(const audio::WaveFormat& format);

// A writable frame of `frameSize` samples in the encoder's input format; null
// on failure.
FramePtr MakeWmaFrame(const AVCodecContext& codec, int frameSize);

}  // namespace platform::asf::ffmpeg
