#pragma once
// Private to the WMA writer: owning handles for the FFmpeg objects it uses.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

#include <memory>

namespace platform::asf::ffmpeg {

// An output format context together with the file it opened.
struct OutputDeleter {
  void operator()(AVFormatContext* f) const {
    // A context on our own file leaves the file to its owner.
    if (f->pb && !(f->flags & AVFMT_FLAG_CUSTOM_IO)) avio_closep(&f->pb);
    avformat_free_context(f);
  }
};
struct CodecDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct ResamplerDeleter {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct InputDeleter {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputDeleter>;
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

}  // namespace platform::asf::ffmpeg
