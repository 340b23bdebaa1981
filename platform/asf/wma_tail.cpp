#include "platform/asf/wma_tail.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/asf/wma_encoder.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace platform::asf {
namespace {

using namespace ffmpeg;

// The tail resampled to the writer's 44.1 kHz stereo float, per channel.
bool Resample(const PcmTail& tail, std::vector<float> (&out)[2]) {
  ResamplerPtr swr = MakeWmaResampler(tail.format);
  if (!swr) return false;
  const int capacity = swr_get_out_samples(swr.get(), static_cast<int>(tail.frames)) + 256;
  for (auto& channel : out) channel.assign(static_cast<size_t>(capacity), 0.0f);
  uint8_t* planes[2] = {reinterpret_cast<uint8_t*>(out[0].data()), reinterpret_cast<uint8_t*>(out[1].data())};
  const auto* in = reinterpret_cast<const uint8_t*>(tail.pcm);
  int got = swr_convert(swr.get(), planes, capacity, &in, static_cast<int>(tail.frames));
  if (got < 0) return false;
  uint8_t* rest[2] = {planes[0] + got * sizeof(float), planes[1] + got * sizeof(float)};
  const int more = swr_convert(swr.get(), rest, capacity - got, nullptr, 0);
  if (more < 0) return false;
  got += more;
  for (auto& channel : out) channel.resize(static_cast<size_t>(got));
  return true;
}

}  // namespace

bool EncodeWmaTail(AVFormatContext* out, int streamIndex, int64_t nextPts, const PcmTail& tail) {
  if (!tail.pcm || tail.frames <= tail.primingFrames || tail.format.channels < 1 || tail.format.channels > 8 ||
      tail.format.samplesPerSec == 0 || tail.format.bitsPerSample != 16) {
    return false;
  }
  AVStream* stream = out->streams[streamIndex];
  const AVCodecParameters* par = stream->codecpar;
  if (par->codec_id != AV_CODEC_ID_WMAV2 || par->sample_rate != kOutRate || par->ch_layout.nb_channels != 2) {
    return false;
  }
  CodecPtr codec;
  if (FAILED(OpenWmaEncoder(out->oformat, codec))) return false;
  // The packets must decode with the stream's own setup.
  if (codec->extradata_size != par->extradata_size ||
      (par->extradata_size > 0 && std::memcmp(codec->extradata, par->extradata, par->extradata_size) != 0)) {
    return false;
  }

  std::vector<float> samples[2];
  if (!Resample(tail, samples)) return false;
  const int frameSize = codec->frame_size > 0 ? codec->frame_size : 2048;
  // Exactly one block of priming before the tail, padded with silence when
  // less was held: the tail then starts with the second block, the first
  // one that decodes.
  const auto priming = static_cast<size_t>(
      av_rescale(static_cast<int64_t>(tail.primingFrames), kOutRate, tail.format.samplesPerSec));
  for (auto& channel : samples) {
    if (priming < static_cast<size_t>(frameSize)) {
      channel.insert(channel.begin(), frameSize - priming, 0.0f);
    } else {
      channel.erase(channel.begin(), channel.begin() + static_cast<std::ptrdiff_t>(priming - frameSize));
    }
  }
  // Whole frames, then one of silence so the tail's last one decodes whole.
  const size_t total = samples[0].size();
  const size_t padded = (total + frameSize - 1) / frameSize * frameSize + frameSize;
  for (auto& channel : samples) channel.resize(padded, 0.0f);

  FramePtr frame = MakeWmaFrame(*codec, frameSize);
  PacketPtr packet(av_packet_alloc());
  if (!frame || !packet) return false;

  bool primed = false;
  bool first = true;
  int64_t offset = 0;
  const auto drain = [&]() -> bool {
    for (;;) {
      const int rc = avcodec_receive_packet(codec.get(), packet.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
      if (rc < 0) return false;
      if (!primed) {
        // The priming block's packet: its audio is already in the file.
        primed = true;
        av_packet_unref(packet.get());
        continue;
      }
      av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
      if (first) {
        offset = nextPts - packet->pts;
        first = false;
      }
      packet->pts += offset;
      packet->dts = packet->pts;
      packet->stream_index = streamIndex;
      packet->pos = -1;
      const int written = av_interleaved_write_frame(out, packet.get());
      av_packet_unref(packet.get());
      if (written < 0) return false;
    }
  };
  for (size_t at = 0; at < padded; at += frameSize) {
    if (av_frame_make_writable(frame.get()) < 0) return false;
    for (int c = 0; c < 2; ++c) std::memcpy(frame->data[c], samples[c].data() + at, frameSize * sizeof(float));
    frame->pts = static_cast<int64_t>(at);
    if (avcodec_send_frame(codec.get(), frame.get()) < 0 || !drain()) return false;
  }
  return avcodec_send_frame(codec.get(), nullptr) >= 0 && drain();
}

}  // namespace platform::asf
