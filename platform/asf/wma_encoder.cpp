#include "platform/asf/wma_encoder.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace platform::asf::ffmpeg {

HRESULT OpenWmaEncoder(const AVOutputFormat* container, CodecPtr& codec) {
  const AVCodec* wmav2 = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
  if (!wmav2) return E_FAIL;
  codec.reset(avcodec_alloc_context3(wmav2));
  if (!codec) return E_OUTOFMEMORY;
  codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
  codec->sample_rate = kOutRate;
  codec->bit_rate = kOutBitRate;
  codec->time_base = AVRational{1, kOutRate};
  av_channel_layout_uninit(&codec->ch_layout);
  codec->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
  if (container->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  return avcodec_open2(codec.get(), wmav2, nullptr) < 0 ? E_FAIL : S_OK;
}

ResamplerPtr MakeWmaResampler(const audio::WaveFormat& format) {
  AVChannelLayout inLayout;
  av_channel_layout_default(&inLayout, format.channels);
  AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  SwrContext* raw = nullptr;
  const int rc = swr_alloc_set_opts2(&raw, &stereo, AV_SAMPLE_FMT_FLTP, kOutRate, &inLayout, AV_SAMPLE_FMT_S16,
                                     static_cast<int>(format.samplesPerSec), 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  ResamplerPtr swr(raw);
  if (rc < 0 || !swr) return nullptr;
  if (format.channels == 1) {
    // A mono line is heard at its full level on both sides, not 3 dB down.
    const double both[2] = {1.0, 1.0};
    if (swr_set_matrix(swr.get(), both, 1) < 0) return nullptr;
  }
  if (swr_init(swr.get()) < 0) return nullptr;
  return swr;
}

FramePtr MakeWmaFrame(const AVCodecContext& codec, int frameSize) {
  FramePtr frame(av_frame_alloc());
  if (!frame) return nullptr;
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->sample_rate = kOutRate;
  frame->nb_samples = frameSize;
  if (av_channel_layout_copy(&frame->ch_layout, &codec.ch_layout) < 0) return nullptr;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
  return frame;
}

}  // namespace platform::asf::ffmpeg
