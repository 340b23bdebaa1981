// The WMA writer over FFmpeg: the captured 16-bit PCM is resampled to 44.1 kHz
// stereo float, cut into the encoder's frames and written as wmav2 at
// 128 kbit/s into an ASF file.
//
// Everything Write needs is allocated in Start: the resampler, one frame and
// one packet, and an accumulation buffer big enough for the largest input
// chunk. What still allocates per encoded frame (about every 46 ms) is inside
// FFmpeg: the encoder takes a reference to the frame and gets a fresh buffer
// for each packet it returns. The resampler grows its own buffers only on the
// first calls.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/asf/asf.h"
#include "platform/asf/ffmpeg_handles.h"
#include "platform/files/files.h"
#include "platform/text/utf.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

namespace platform::asf {
namespace {

using namespace ffmpeg;

constexpr int kOutRate = 44100;
constexpr int64_t kOutBitRate = 128000;
// Input frames handed to the resampler at once; sizes the accumulation buffer.
constexpr int kMaxInChunk = 4096;

// The ASF content description holds Title, Author, Copyright, Description and
// Rating; FFmpeg's generic names for Author and Description are "artist" and
// "comment". Any other name becomes an extended content description
// attribute under its own name.
std::string MetadataKey(std::u16string_view name) {
  if (name == u"Title") return "title";
  if (name == u"Author") return "artist";
  if (name == u"Description") return "comment";
  if (name == u"Copyright") return "copyright";
  if (name == u"Rating") return "rating";
  return ToUtf8(name);
}

class FfmpegWmaWriter final : public WmaWriter {
 public:
  ~FfmpegWmaWriter() override { Stop(); }

  HRESULT SetFileName(const std::string& utf8Path) override {
    if (utf8Path.empty()) return E_INVALIDARG;
    path_ = utf8Path;
    return S_OK;
  }

  HRESULT SetAttribute(std::u16string_view name, std::u16string_view value) override {
    if (name.empty()) return E_INVALIDARG;
    std::string key = MetadataKey(name);
    std::string text = ToUtf8(value);
    for (auto& [k, v] : attributes_) {
      if (k == key) {
        v = std::move(text);
        return S_OK;
      }
    }
    attributes_.emplace_back(std::move(key), std::move(text));
    return S_OK;
  }

  HRESULT Start(const audio::WaveFormat& format) override {
    if (output_) return E_UNEXPECTED;
    if (path_.empty()) return E_FAIL;
    if (format.bitsPerSample != 16 || format.channels < 1 || format.channels > 8 || format.samplesPerSec == 0) {
      return E_INVALIDARG;
    }
    const HRESULT hr = Open(format);
    if (FAILED(hr)) {
      const bool created = output_ && output_->pb;
      Reset();
      if (created) unlink(path_.c_str());  // only what this call wrote
    }
    return hr;
  }

  void Write(const uint8_t* data, size_t length) override {
    if (!output_ || failed_) return;
    const uint8_t* in = data;
    size_t frames = length / inFrameBytes_;  // the capture delivers whole frames
    while (frames > 0 && !failed_) {
      int n = static_cast<int>(std::min<size_t>(frames, kMaxInChunk));
      const int space = capacity_ - filled_;
      while (n > 1 && swr_get_out_samples(resampler_.get(), n) > space) n /= 2;
      uint8_t* out[2] = {reinterpret_cast<uint8_t*>(pending_[0].data() + filled_),
                         reinterpret_cast<uint8_t*>(pending_[1].data() + filled_)};
      const int got = swr_convert(resampler_.get(), out, space, &in, n);
      if (got < 0) {
        failed_ = true;
        return;
      }
      filled_ += got;
      in += static_cast<size_t>(n) * inFrameBytes_;
      frames -= static_cast<size_t>(n);
      EncodeFullFrames();
    }
  }

  HRESULT Stop() override {
    // A file belongs to one run: the next one needs its own name and
    // attributes, so a run never overwrites a finished song or inherits its
    // tags.
    path_.clear();
    attributes_.clear();
    if (!output_) return S_OK;
    // The resampler's tail, then a last short frame (the encoder pads it).
    uint8_t* out[2] = {reinterpret_cast<uint8_t*>(pending_[0].data() + filled_),
                       reinterpret_cast<uint8_t*>(pending_[1].data() + filled_)};
    const int got = swr_convert(resampler_.get(), out, capacity_ - filled_, nullptr, 0);
    if (got > 0) filled_ += got;
    EncodeFullFrames();
    if (filled_ > 0 && !failed_) Encode(filled_);
    if (!failed_) {
      if (avcodec_send_frame(codec_.get(), nullptr) < 0) failed_ = true;
      DrainPackets();
    }
    const bool trailerOk = av_write_trailer(output_.get()) == 0;
    const bool closeOk = avio_closep(&output_->pb) == 0;
    const bool ok = trailerOk && closeOk && !failed_;
    Reset();
    return ok ? S_OK : E_FAIL;
  }

 private:
  HRESULT Open(const audio::WaveFormat& format) {
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "asf", nullptr) < 0 || !raw) return E_OUTOFMEMORY;
    output_.reset(raw);

    const AVCodec* wmav2 = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
    if (!wmav2) return E_FAIL;
    codec_.reset(avcodec_alloc_context3(wmav2));
    if (!codec_) return E_OUTOFMEMORY;
    codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec_->sample_rate = kOutRate;
    codec_->bit_rate = kOutBitRate;
    codec_->time_base = AVRational{1, kOutRate};
    av_channel_layout_uninit(&codec_->ch_layout);
    codec_->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
    if (output_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(codec_.get(), wmav2, nullptr) < 0) return E_FAIL;

    AVStream* stream = avformat_new_stream(output_.get(), nullptr);
    if (!stream) return E_OUTOFMEMORY;
    if (avcodec_parameters_from_context(stream->codecpar, codec_.get()) < 0) return E_FAIL;
    stream->time_base = codec_->time_base;
    streamIndex_ = stream->index;

    for (const auto& [key, value] : attributes_) av_dict_set(&output_->metadata, key.c_str(), value.c_str(), 0);

    // "file:" keeps a colon in the name from being read as a protocol.
    const std::string url = "file:" + path_;
    if (avio_open(&output_->pb, url.c_str(), AVIO_FLAG_WRITE) < 0) return E_FAIL;
    // Each packet goes to the file as it is made: a crash loses only the
    // packet being filled, not the song.
    output_->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    if (avformat_write_header(output_.get(), nullptr) < 0) return E_FAIL;
    avio_flush(output_->pb);

    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, format.channels);
    SwrContext* swr = nullptr;
    const int rc = swr_alloc_set_opts2(&swr, &codec_->ch_layout, AV_SAMPLE_FMT_FLTP, kOutRate, &inLayout,
                                       AV_SAMPLE_FMT_S16, static_cast<int>(format.samplesPerSec), 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    resampler_.reset(swr);
    if (rc < 0 || !resampler_) return E_FAIL;
    if (format.channels == 1) {
      // A mono line is heard at its full level on both sides, not 3 dB down.
      const double both[2] = {1.0, 1.0};
      if (swr_set_matrix(resampler_.get(), both, 1) < 0) return E_FAIL;
    }
    if (swr_init(resampler_.get()) < 0) return E_FAIL;

    frameSize_ = codec_->frame_size > 0 ? codec_->frame_size : 2048;
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) return E_OUTOFMEMORY;
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->sample_rate = kOutRate;
    frame_->nb_samples = frameSize_;
    if (av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout) < 0) return E_OUTOFMEMORY;
    if (av_frame_get_buffer(frame_.get(), 0) < 0) return E_OUTOFMEMORY;

    const int64_t maxOut = av_rescale_rnd(kMaxInChunk, kOutRate, format.samplesPerSec, AV_ROUND_UP);
    capacity_ = frameSize_ + static_cast<int>(maxOut) + 256;
    for (auto& channel : pending_) channel.assign(static_cast<size_t>(capacity_), 0.0f);
    filled_ = 0;
    nextPts_ = 0;
    inFrameBytes_ = static_cast<size_t>(format.channels) * 2;
    failed_ = false;
    return S_OK;
  }

  void EncodeFullFrames() {
    while (filled_ >= frameSize_ && !failed_) {
      Encode(frameSize_);
      const int rest = filled_ - frameSize_;
      for (auto& channel : pending_) std::memmove(channel.data(), channel.data() + frameSize_, rest * sizeof(float));
      filled_ = rest;
    }
  }

  // Encodes the first `samples` pending samples as one frame.
  void Encode(int samples) {
    if (av_frame_make_writable(frame_.get()) < 0) {
      failed_ = true;
      return;
    }
    for (int c = 0; c < 2; ++c) std::memcpy(frame_->data[c], pending_[c].data(), samples * sizeof(float));
    frame_->nb_samples = samples;
    frame_->pts = nextPts_;
    nextPts_ += samples;
    if (avcodec_send_frame(codec_.get(), frame_.get()) < 0) {
      failed_ = true;
      return;
    }
    DrainPackets();
  }

  void DrainPackets() {
    AVStream* stream = output_->streams[streamIndex_];
    for (;;) {
      const int rc = avcodec_receive_packet(codec_.get(), packet_.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      if (rc < 0) {
        failed_ = true;
        return;
      }
      av_packet_rescale_ts(packet_.get(), codec_->time_base, stream->time_base);
      packet_->stream_index = streamIndex_;
      if (av_write_frame(output_.get(), packet_.get()) < 0) failed_ = true;
      avio_flush(output_->pb);
      av_packet_unref(packet_.get());
      if (failed_) return;
    }
  }

  void Reset() {
    packet_.reset();
    frame_.reset();
    resampler_.reset();
    codec_.reset();
    output_.reset();
    filled_ = 0;
  }

  std::string path_;
  std::vector<std::pair<std::string, std::string>> attributes_;

  OutputPtr output_;
  CodecPtr codec_;
  ResamplerPtr resampler_;
  FramePtr frame_;
  PacketPtr packet_;
  int streamIndex_ = 0;
  int frameSize_ = 0;
  std::vector<float> pending_[2];  // resampled samples not yet encoded, per channel
  int capacity_ = 0;
  int filled_ = 0;
  int64_t nextPts_ = 0;
  size_t inFrameBytes_ = 4;
  bool failed_ = false;
};


InputPtr OpenInput(const std::string& utf8Path) {
  AVFormatContext* raw = nullptr;
  const std::string url = "file:" + utf8Path;
  if (avformat_open_input(&raw, url.c_str(), nullptr, nullptr) < 0) return nullptr;
  InputPtr in(raw);
  if (avformat_find_stream_info(in.get(), nullptr) < 0) return nullptr;
  return in;
}

// Stream copy of in into the file at url; false unless at least one packet
// went over and the file was closed whole.
bool Remux(AVFormatContext* in, const std::string& url) {
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "asf", nullptr) < 0 || !raw) return false;
  OutputPtr out(raw);
  std::vector<int> map(in->nb_streams, -1);
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVCodecParameters* par = in->streams[i]->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    AVStream* stream = avformat_new_stream(out.get(), nullptr);
    if (!stream || avcodec_parameters_copy(stream->codecpar, par) < 0) return false;
    stream->time_base = in->streams[i]->time_base;
    map[i] = stream->index;
  }
  if (out->nb_streams == 0) return false;
  av_dict_copy(&out->metadata, in->metadata, 0);
  if (avio_open(&out->pb, url.c_str(), AVIO_FLAG_WRITE) < 0) return false;
  if (avformat_write_header(out.get(), nullptr) < 0) return false;
  PacketPtr packet(av_packet_alloc());
  if (!packet) return false;
  int64_t copied = 0;
  // A read error is the cut-off end of the file: what came before is kept.
  while (av_read_frame(in, packet.get()) >= 0) {
    const int target = packet->stream_index < static_cast<int>(map.size()) ? map[packet->stream_index] : -1;
    if (target >= 0) {
      av_packet_rescale_ts(packet.get(), in->streams[packet->stream_index]->time_base, out->streams[target]->time_base);
      packet->stream_index = target;
      packet->pos = -1;
      if (av_interleaved_write_frame(out.get(), packet.get()) < 0) return false;
      ++copied;
    }
    av_packet_unref(packet.get());
  }
  const bool trailerOk = av_write_trailer(out.get()) == 0;
  return avio_closep(&out->pb) == 0 && trailerOk && copied > 0;
}

}  // namespace

std::shared_ptr<WmaWriter> MakeFfmpegWmaWriter() { return std::make_shared<FfmpegWmaWriter>(); }

std::optional<int64_t> WmaDurationMs(const std::string& utf8Path) {
  const InputPtr in = OpenInput(utf8Path);
  if (!in || in->duration == AV_NOPTS_VALUE || in->duration < 0) return std::nullopt;
  return av_rescale(in->duration, 1000, AV_TIME_BASE);
}

bool RepairWmaFile(const std::string& utf8Path) {
  const InputPtr in = OpenInput(utf8Path);
  if (!in) return false;
  const std::filesystem::path target(utf8Path);
  auto temp = files::NewFile::CreateUnique(target.parent_path(), ".orvweb-wma-");
  if (!temp || !temp->Close()) return false;
  if (!Remux(in.get(), "file:" + temp->path().string())) return false;
  if (const auto mode = files::Mode(target)) files::SetMode(temp->path(), *mode);
  if (!files::MoveReplace(temp->path(), target)) return false;
  temp->Keep();
  return true;
}

}  // namespace platform::asf
