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
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/asf/asf.h"
#include "platform/asf/ffmpeg_handles.h"
#include "platform/asf/wma_encoder.h"
#include "platform/asf/wma_tail.h"
#include "platform/files/files.h"
#include "platform/text/utf.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace platform::asf {
namespace {

using namespace ffmpeg;

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

// The ASF objects the header patch touches, as their GUIDs lie in the file.
constexpr uint8_t kHeaderObject[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                       0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr uint8_t kFileProperties[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                         0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr uint8_t kContentDescription[16] = {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                             0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

constexpr uint8_t kDataObject[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                    0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

bool FinishCutFile(const std::string& utf8Path);

uint64_t GetLe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
void PutLe(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

// The muxer's header with `description` (UTF-16LE, terminated) as the
// content description's Description: FFmpeg's asf muxer renames "comment"
// to "Description" before it looks for "comment", so players that read only
// the content description never see it. Empty when the header is not one.
std::string PatchHeader(const uint8_t* header, size_t size, const std::string& description, int64_t delta) {
  if (size < 30 || std::memcmp(header, kHeaderObject, 16) != 0 || GetLe(header + 16, 8) != size) return {};
  std::string out(reinterpret_cast<const char*>(header), 30);
  const auto objects = static_cast<uint32_t>(GetLe(header + 24, 4));
  bool described = false;
  size_t at = 30;
  std::string fileProperties;
  for (uint32_t i = 0; i < objects; ++i) {
    if (at + 24 > size) return {};
    const uint64_t length = GetLe(header + at + 16, 8);
    if (length < 24 || at + length > size) return {};
    std::string object(reinterpret_cast<const char*>(header + at), length);
    auto* o = reinterpret_cast<uint8_t*>(object.data());
    if (std::memcmp(o, kContentDescription, 16) == 0 && length >= 34) {
      size_t lengths[5];
      for (int k = 0; k < 5; ++k) lengths[k] = GetLe(o + 24 + 2 * k, 2);
      std::string texts[5];
      size_t from = 34;
      for (int k = 0; k < 5; ++k) {
        if (from + lengths[k] > length) return {};
        texts[k] = object.substr(from, lengths[k]);
        from += lengths[k];
      }
      texts[3] = description;
      object.assign(34, '\0');
      std::memcpy(object.data(), kContentDescription, 16);
      for (int k = 0; k < 5; ++k) {
        PutLe(reinterpret_cast<uint8_t*>(object.data()) + 24 + 2 * k, texts[k].size(), 2);
        object += texts[k];
      }
      PutLe(reinterpret_cast<uint8_t*>(object.data()) + 16, object.size(), 8);
      described = true;
    } else if (std::memcmp(o, kFileProperties, 16) == 0 && length >= 48) {
      // The file size, when the muxer knows it, grows with the header.
      if (const uint64_t fileSize = GetLe(o + 40, 8); fileSize > 0) PutLe(o + 40, fileSize + delta, 8);
    }
    out += object;
    at += length;
  }
  if (!described) {
    // No title or author: the muxer wrote no content description at all.
    std::string object(34, '\0');
    std::memcpy(object.data(), kContentDescription, 16);
    PutLe(reinterpret_cast<uint8_t*>(object.data()) + 24 + 6, description.size(), 2);
    object += description;
    PutLe(reinterpret_cast<uint8_t*>(object.data()) + 16, object.size(), 8);
    out += object;
    PutLe(reinterpret_cast<uint8_t*>(out.data()) + 24, objects + 1, 4);
  }
  PutLe(reinterpret_cast<uint8_t*>(out.data()) + 16, out.size(), 8);
  return out;
}

// The file under the muxer: every write goes straight to the descriptor,
// and the header (at its first write and at the trailer's rewrite) gets the
// Description; what follows it moves by the bytes that added.
class AsfFile {
 public:
  // exclusive: the file must be new (a song's name); else it is a file of
  // our own that is cut to nothing.
  static std::unique_ptr<AsfFile> Create(const std::string& path, std::string_view descriptionUtf8, bool exclusive) {
    auto file = std::unique_ptr<AsfFile>(new AsfFile);
    if (!descriptionUtf8.empty()) {
      for (const char16_t c : FromUtf8(descriptionUtf8)) {
        file->description_.push_back(static_cast<char>(c & 0xFF));
        file->description_.push_back(static_cast<char>(c >> 8));
      }
      file->description_.append(2, '\0');
    }
    // Never over a file that is there: a song of that name stays whole.
    file->fd_ = ::open(path.c_str(),
                       O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL | O_NOFOLLOW : O_TRUNC), 0666);
    if (file->fd_ < 0) return nullptr;
    constexpr int kBufferBytes = 65536;  // holds the whole header
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
    if (!buffer) return nullptr;
    file->io_ = avio_alloc_context(buffer, kBufferBytes, 1, file.get(), nullptr, &AsfFile::WriteThunk,
                                   &AsfFile::SeekThunk);
    if (!file->io_) {
      av_free(buffer);
      return nullptr;
    }
    return file;
  }
  ~AsfFile() {
    if (io_) {
      av_freep(&io_->buffer);
      avio_context_free(&io_);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  AsfFile(const AsfFile&) = delete;
  AsfFile& operator=(const AsfFile&) = delete;

  AVIOContext* io() const { return io_; }
  bool failed() const { return failed_; }
  // Flushes and closes; false when any write failed.
  bool Close() {
    avio_flush(io_);
    const bool ok = !failed_ && io_->error == 0;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return ok && closed;
  }

 private:
  AsfFile() = default;
  static int WriteThunk(void* opaque, uint8_t* data, int size) { return static_cast<AsfFile*>(opaque)->Write(data, size); }
  static int64_t SeekThunk(void* opaque, int64_t offset, int whence) {
    return static_cast<AsfFile*>(opaque)->Seek(offset, whence);
  }

  bool WriteAt(const void* data, size_t size, int64_t at) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::pwrite(fd_, p, size, at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      size -= static_cast<size_t>(n);
      at += n;
    }
    return true;
  }

  int Write(const uint8_t* data, int size) {
    size_t skip = 0;
    if (pos_ == 0 && !description_.empty() && size >= 30 && std::memcmp(data, kHeaderObject, 16) == 0) {
      const uint64_t headerBytes = GetLe(data + 16, 8);
      if (headerBytes <= static_cast<uint64_t>(size)) {
        // The new header is as long each time, so the delta is known before
        // the file size in it is patched.
        const std::string probe = PatchHeader(data, headerBytes, description_, 0);
        if (!probe.empty()) {
          delta_ = static_cast<int64_t>(probe.size()) - static_cast<int64_t>(headerBytes);
          headerEnd_ = static_cast<int64_t>(headerBytes);
          const std::string header = PatchHeader(data, headerBytes, description_, delta_);
          if (!WriteAt(header.data(), header.size(), 0)) return Fail();
          skip = headerBytes;
        }
      }
    }
    const int64_t logical = pos_ + static_cast<int64_t>(skip);
    const int64_t at = logical >= headerEnd_ ? logical + delta_ : logical;
    if (!WriteAt(data + skip, static_cast<size_t>(size) - skip, at)) return Fail();
    pos_ += size;
    return size;
  }

  int64_t Seek(int64_t offset, int whence) {
    if (whence & AVSEEK_SIZE) {
      struct stat st {};
      if (::fstat(fd_, &st) != 0) return -1;
      return st.st_size - delta_;
    }
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET: pos_ = offset; break;
      case SEEK_CUR: pos_ += offset; break;
      default: return -1;
    }
    return pos_;
  }

  int Fail() {
    failed_ = true;
    return AVERROR(EIO);
  }

  int fd_ = -1;
  AVIOContext* io_ = nullptr;
  std::string description_;  // UTF-16LE with its terminator; empty: no patch
  int64_t pos_ = 0;          // where the muxer thinks it writes
  int64_t headerEnd_ = 0;    // the muxer's header size
  int64_t delta_ = 0;        // bytes the Description added to it
  bool failed_ = false;
};

std::string CommentOf(const AVDictionary* metadata) {
  const AVDictionaryEntry* e = av_dict_get(metadata, "comment", nullptr, 0);
  return e ? e->value : "";
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
      const bool created = file_ != nullptr;
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

  bool WriteFailed() const override { return writeFailed_.load(std::memory_order_acquire); }

  HRESULT Stop() override {
    // A file belongs to one run: the next one needs its own name and
    // attributes, so a run never overwrites a finished song or inherits its
    // tags.
    const std::string path = std::move(path_);
    path_.clear();
    attributes_.clear();
    if (!output_) return S_OK;
    // The resampler's tail, then the last frame and one of silence.
    uint8_t* out[2] = {reinterpret_cast<uint8_t*>(pending_[0].data() + filled_),
                       reinterpret_cast<uint8_t*>(pending_[1].data() + filled_)};
    const int got = swr_convert(resampler_.get(), out, capacity_ - filled_, nullptr, 0);
    if (got > 0) filled_ += got;
    EncodeFullFrames();
    // The encoder takes a short frame only as the very last one: the rest
    // of this one is padded here.
    if (filled_ > 0 && !failed_) {
      for (auto& channel : pending_) std::fill(channel.begin() + filled_, channel.begin() + frameSize_, 0.0f);
      Encode(frameSize_);
    }
    // A decoder rebuilds each frame from its own block and the next one, and
    // the encoder keeps nothing back to flush: without a block after it the
    // song's last frame decodes faded and garbled, which loses up to about
    // 10 ms of its end. One frame of silence gives it that block.
    if (nextPts_ > 0 && !failed_) {
      for (auto& channel : pending_) std::fill_n(channel.begin(), frameSize_, 0.0f);
      Encode(frameSize_);
    }
    if (!failed_) {
      if (avcodec_send_frame(codec_.get(), nullptr) < 0) failed_ = true;
      DrainPackets();
    }
    const bool trailerOk = av_write_trailer(output_.get()) == 0;
    if (file_->failed()) writeFailed_.store(true, std::memory_order_release);
    const bool closeOk = file_->Close();
    const bool ok = trailerOk && closeOk && !failed_;
    Reset();
    // The muxer stops writing at the first failed write, its header too.
    if (writeFailed_.load(std::memory_order_relaxed)) FinishCutFile(path);
    return ok ? S_OK : E_FAIL;
  }

 private:
  HRESULT Open(const audio::WaveFormat& format) {
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "asf", nullptr) < 0 || !raw) return E_OUTOFMEMORY;
    output_.reset(raw);

    if (const HRESULT hr = OpenWmaEncoder(output_->oformat, codec_); FAILED(hr)) return hr;

    AVStream* stream = avformat_new_stream(output_.get(), nullptr);
    if (!stream) return E_OUTOFMEMORY;
    if (avcodec_parameters_from_context(stream->codecpar, codec_.get()) < 0) return E_FAIL;
    stream->time_base = codec_->time_base;
    streamIndex_ = stream->index;

    for (const auto& [key, value] : attributes_) av_dict_set(&output_->metadata, key.c_str(), value.c_str(), 0);

    file_ = AsfFile::Create(path_, CommentOf(output_->metadata), true);
    if (!file_) return E_FAIL;
    output_->pb = file_->io();
    output_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Each packet goes to the file as it is made: a crash loses only the
    // packet being filled, not the song.
    output_->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    if (avformat_write_header(output_.get(), nullptr) < 0) return E_FAIL;
    avio_flush(output_->pb);

    resampler_ = MakeWmaResampler(format);
    if (!resampler_) return E_FAIL;

    frameSize_ = codec_->frame_size > 0 ? codec_->frame_size : 2048;
    frame_ = MakeWmaFrame(*codec_, frameSize_);
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) return E_OUTOFMEMORY;

    const int64_t maxOut = av_rescale_rnd(kMaxInChunk, kOutRate, format.samplesPerSec, AV_ROUND_UP);
    capacity_ = frameSize_ + static_cast<int>(maxOut) + 256;
    for (auto& channel : pending_) channel.assign(static_cast<size_t>(capacity_), 0.0f);
    filled_ = 0;
    nextPts_ = 0;
    inFrameBytes_ = static_cast<size_t>(format.channels) * 2;
    failed_ = false;
    writeFailed_.store(false, std::memory_order_release);
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
      if (file_->failed()) writeFailed_.store(true, std::memory_order_release);
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
    file_.reset();
    filled_ = 0;
  }

  std::string path_;
  std::vector<std::pair<std::string, std::string>> attributes_;

  std::unique_ptr<AsfFile> file_;  // outlives output_, which writes to it
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
  std::atomic<bool> writeFailed_{false};
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
bool Remux(AVFormatContext* in, const std::string& path, const PcmTail* tail = nullptr) {
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
  const auto file = AsfFile::Create(path, CommentOf(in->metadata), false);
  if (!file) return false;
  out->pb = file->io();
  out->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_write_header(out.get(), nullptr) < 0) return false;
  PacketPtr packet(av_packet_alloc());
  if (!packet) return false;
  int64_t copied = 0;
  int64_t nextPts = 0;  // of the first stream, past its last packet
  // A read error is the cut-off end of the file: what came before is kept.
  while (av_read_frame(in, packet.get()) >= 0) {
    const int target = packet->stream_index < static_cast<int>(map.size()) ? map[packet->stream_index] : -1;
    if (target >= 0) {
      av_packet_rescale_ts(packet.get(), in->streams[packet->stream_index]->time_base, out->streams[target]->time_base);
      packet->stream_index = target;
      packet->pos = -1;
      if (target == 0 && packet->pts != AV_NOPTS_VALUE) nextPts = std::max(nextPts, packet->pts + packet->duration);
      if (av_interleaved_write_frame(out.get(), packet.get()) < 0) return false;
      ++copied;
    }
    av_packet_unref(packet.get());
  }
  if (tail && (copied == 0 || !EncodeWmaTail(out.get(), 0, nextPts, *tail))) return false;
  const bool trailerOk = av_write_trailer(out.get()) == 0;
  out.reset();
  return file->Close() && trailerOk && copied > 0;
}

}  // namespace

std::shared_ptr<WmaWriter> MakeFfmpegWmaWriter() { return std::make_shared<FfmpegWmaWriter>(); }

std::optional<int64_t> WmaDurationMs(const std::string& utf8Path) {
  const InputPtr in = OpenInput(utf8Path);
  if (!in || in->duration == AV_NOPTS_VALUE || in->duration < 0) return std::nullopt;
  return av_rescale(in->duration, 1000, AV_TIME_BASE);
}

namespace {

// A file whose writes failed part-way (disk full): cut to its whole data
// packets, and its header told, in place, how many there are and how long
// they play. In place because a full disk has no room for a copy.
bool FinishCutFile(const std::string& utf8Path) {
  files::UniqueFd fd(::open(utf8Path.c_str(), O_RDWR | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return false;
  std::vector<uint8_t> head(std::min<int64_t>(st.st_size, 1 << 16));
  if (head.size() < 30 + 50 || !files::PReadAll(fd.get(), head.data(), head.size(), 0)) return false;
  if (std::memcmp(head.data(), kHeaderObject, 16) != 0) return false;
  const uint64_t headerBytes = GetLe(head.data() + 16, 8);
  if (headerBytes + 50 > head.size()) return false;
  uint8_t* data = head.data() + headerBytes;
  if (std::memcmp(data, kDataObject, 16) != 0) return false;
  uint8_t* properties = nullptr;
  for (uint64_t at = 30; at + 24 <= headerBytes;) {
    const uint64_t length = GetLe(head.data() + at + 16, 8);
    if (length < 24 || at + length > headerBytes) return false;
    if (std::memcmp(head.data() + at, kFileProperties, 16) == 0 && length >= 104) properties = head.data() + at;
    at += length;
  }
  if (!properties) return false;
  const uint64_t packetBytes = GetLe(properties + 92, 4);
  if (packetBytes == 0 || packetBytes != GetLe(properties + 96, 4)) return false;
  const uint64_t dataStart = headerBytes + 50;
  const uint64_t packets = (static_cast<uint64_t>(st.st_size) - dataStart) / packetBytes;
  const uint64_t size = dataStart + packets * packetBytes;
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return false;

  // How long the whole packets play, from the packets themselves.
  int64_t endMs = 0;
  {
    const InputPtr in = OpenInput(utf8Path);
    if (!in) return false;
    PacketPtr packet(av_packet_alloc());
    if (!packet) return false;
    while (av_read_frame(in.get(), packet.get()) >= 0) {
      const AVRational base = in->streams[packet->stream_index]->time_base;
      if (packet->pts != AV_NOPTS_VALUE) {
        endMs = std::max(endMs, av_rescale_q(packet->pts + packet->duration, base, AVRational{1, 1000}));
      }
      av_packet_unref(packet.get());
    }
  }
  // The demuxer's times already leave out the preroll.
  const uint64_t prerollMs = GetLe(properties + 80, 8);
  const uint64_t playMs = endMs > 0 ? static_cast<uint64_t>(endMs) : 0;
  PutLe(properties + 40, size, 8);
  PutLe(properties + 56, packets, 8);
  PutLe(properties + 64, (playMs + prerollMs) * 10000, 8);
  PutLe(properties + 72, playMs * 10000, 8);
  PutLe(data + 16, 50 + packets * packetBytes, 8);
  PutLe(data + 40, packets, 8);
  return files::PWriteAll(fd.get(), head.data(), dataStart, 0);
}

}  // namespace

std::u16string WmaDescription(const std::string& utf8Path) {
  const InputPtr in = OpenInput(utf8Path);
  return in ? FromUtf8(CommentOf(in->metadata)) : std::u16string();
}

bool RepairWmaFile(const std::string& utf8Path) {
  const InputPtr in = OpenInput(utf8Path);
  if (!in) return false;
  const std::filesystem::path target(utf8Path);
  auto temp = files::NewFile::CreateUnique(target.parent_path(), ".orvweb-wma-");
  if (!temp || !temp->Close()) return false;
  if (!Remux(in.get(), temp->path().string())) return false;
  if (const auto mode = files::Mode(target)) files::SetMode(temp->path(), *mode);
  if (!files::MoveReplace(temp->path(), target)) return false;
  temp->Keep();
  return true;
}

bool RepairWmaFileAppending(const std::string& utf8Path, const PcmTail& tail) {
  const InputPtr in = OpenInput(utf8Path);
  if (!in) return false;
  const std::filesystem::path target(utf8Path);
  auto temp = files::NewFile::CreateUnique(target.parent_path(), ".orvweb-wma-");
  if (!temp || !temp->Close()) return false;
  if (!Remux(in.get(), temp->path().string(), &tail)) return false;
  if (const auto mode = files::Mode(target)) files::SetMode(temp->path(), *mode);
  if (!files::MoveReplace(temp->path(), target)) return false;
  temp->Keep();
  return true;
}

}  // namespace platform::asf
