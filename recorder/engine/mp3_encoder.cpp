#include "recorder/engine/mp3_encoder.h"

#include <algorithm>
#include <cstring>

#include "platform/id3/id3_tag.h"
#include "platform/lame/mp3_file.h"
#include "recorder/core/settings.h"

namespace orvweb {

BE_CONFIG MakeEncoderConfig(const platform::audio::WaveFormat& format) {
  BE_CONFIG config;
  std::memset(&config, 0, sizeof config);
  config.dwConfig = BE_CONFIG_LAME;
  config.dwStructVersion = 1;
  config.dwStructSize = sizeof(BE_CONFIG);
  config.dwSampleRate = format.samplesPerSec;
  config.dwReSampleRate = 0;
  config.nMode = format.channels == 2 ? BE_MP3_MODE_JSTEREO : BE_MP3_MODE_MONO;
  config.dwBitrate = 128;
  config.dwMaxBitrate = 0;
  config.nPreset = LQP_R3MIX;
  config.dwMpegVersion = MPEG1;
  config.bOriginal = 1;
  config.bWriteVBRHeader = 1;
  return config;
}

CMp3Encoder::CMp3Encoder() : CMp3Encoder(platform::lame::LameEncoderTable()) {}

CMp3Encoder::CMp3Encoder(Mp3EncoderTable table) : table_(std::move(table)), isLoaded_(table_.Complete()) {}

CMp3Encoder::~CMp3Encoder() {
  ReleaseStream();
  CloseFile();
}

std::pair<int, int> CMp3Encoder::GetVersion() const {
  if (!isLoaded_) return {0, 0};
  BE_VERSION version;
  table_.beVersion(version);
  return {version.byMajorVersion, version.byMinorVersion};
}

void CMp3Encoder::ReleaseStream() {
  if (stream_ != 0) table_.beCloseStream(stream_);
  stream_ = 0;
  mp3Buffer_.reset();
  pcmBuffer_.reset();
  mp3BufferSize_ = 0;
  buffered_ = 0;
}

void CMp3Encoder::CloseFile() { file_.Close(); }

BE_ERR CMp3Encoder::OpenStream(const platform::audio::WaveFormat& format, const std::string& utf8Path,
                               const std::string& leadingTag, bool vbrHeader) {
  if (!isLoaded_) throw Mp3EncoderError(kEncoderNotLoaded);
  ReleaseStream();
  CloseFile();

  bytesPerSample_ = format.bitsPerSample / 8;
  if (bytesPerSample_ != 2) throw Mp3EncoderError(kNeeds16Bits);
  fileName_ = utf8Path;

  BE_CONFIG config = MakeEncoderConfig(format);
  config.bWriteVBRHeader = vbrHeader ? 1 : 0;
  uint32_t samples = 0;
  uint32_t bufferSize = 0;
  HBE_STREAM stream = 0;
  BE_ERR result = table_.beInitStream(config, samples, bufferSize, stream);
  if (result == BE_ERR_SUCCESSFUL && (samples == 0 || bufferSize == 0)) {
    // A zero chunk could never fill; refuse the stream rather than spin.
    result = BE_ERR_INVALID_FORMAT_PARAMETERS;
  }
  stream_ = stream;
  if (result != BE_ERR_SUCCESSFUL) {
    // No stream, no file: truncating an existing song for a stream that can
    // never be fed would only lose it.
    ReleaseStream();
    return result;
  }
  writeFailed_.store(false, std::memory_order_release);
  chunkSize_ = samples;
  mp3BufferSize_ = bufferSize;
  mp3Buffer_ = std::make_unique<uint8_t[]>(mp3BufferSize_);
  pcmBuffer_ = std::make_unique<int16_t[]>(chunkSize_);
  buffered_ = 0;

  // The file opens with the song's tag, or room for it (see platform/id3).
  const std::string room = leadingTag.empty() ? platform::id3::EmptyId3v2Tag() : leadingTag;
  // Never over a file that is there: a song of that name stays whole.
  if (!file_.CreateNew(utf8Path) || !file_.Write(room.data(), room.size())) {
    CloseFile();
    ReleaseStream();
    return kMp3WriteFailed;
  }
  return BE_ERR_SUCCESSFUL;
}

BE_ERR CMp3Encoder::WriteChunk(const int16_t* values) {
  if (writeFailed_.load(std::memory_order_relaxed)) {
    buffered_ = 0;
    return kMp3WriteFailed;
  }
  uint32_t bytes = 0;
  const BE_ERR result = table_.beEncodeChunk(stream_, buffered_, values, mp3Buffer_.get(), bytes);
  if (result != BE_ERR_SUCCESSFUL) return result;
  buffered_ = 0;
  return AppendBytes(std::min(bytes, mp3BufferSize_));
}

BE_ERR CMp3Encoder::AppendBytes(uint32_t bytes) {
  const long long before = file_.size();
  if (file_.Write(mp3Buffer_.get(), bytes)) return BE_ERR_SUCCESSFUL;
  // Nothing more goes in after a failed write: a gap would be heard as a
  // jump, and a part frame would be read as garbage. The file keeps the
  // whole frames before it.
  file_.Truncate(before);
  writeFailed_.store(true, std::memory_order_release);
  return kMp3WriteFailed;
}

BE_ERR CMp3Encoder::EncodeSamples(const uint8_t* values, uint32_t count) {
  if (stream_ == 0 || !pcmBuffer_) return kMp3WriteFailed;
  // One whole chunk and nothing buffered: encode straight from the capture
  // buffer. LAME reads 16-bit values, so only an aligned buffer qualifies.
  if (count == chunkSize_ && buffered_ == 0 && reinterpret_cast<uintptr_t>(values) % alignof(int16_t) == 0) {
    buffered_ = count;
    const BE_ERR result = WriteChunk(reinterpret_cast<const int16_t*>(values));
    // A refused chunk is dropped: keeping it would leave no room to buffer.
    if (result != BE_ERR_SUCCESSFUL) buffered_ = 0;
    return result;
  }
  BE_ERR result = kMp3WriteFailed;
  while (count > 0) {
    const uint32_t take = std::min(chunkSize_ - buffered_, count);
    std::memcpy(pcmBuffer_.get() + buffered_, values, static_cast<size_t>(take) * sizeof(int16_t));
    buffered_ += take;
    count -= take;
    values += static_cast<size_t>(take) * sizeof(int16_t);
    if (buffered_ == chunkSize_) {
      result = WriteChunk(pcmBuffer_.get());
      if (result != BE_ERR_SUCCESSFUL) buffered_ = 0;
    }
  }
  return result;
}

BE_ERR CMp3Encoder::CloseStream() {
  if (stream_ == 0) {
    CloseFile();
    return BE_ERR_SUCCESSFUL;
  }
  // A chunk the encoder refuses leaves the stream open; one that cannot be
  // written still lets it be finished: the file is closed and its header
  // made right from what it holds.
  if (buffered_ > 0) {
    const BE_ERR result = WriteChunk(pcmBuffer_.get());
    if (result != BE_ERR_SUCCESSFUL && result != kMp3WriteFailed) return result;
  }
  uint32_t bytes = 0;
  table_.beDeinitStream(stream_, mp3Buffer_.get(), bytes);
  if (!writeFailed_.load(std::memory_order_relaxed)) AppendBytes(std::min(bytes, mp3BufferSize_));
  CloseFile();
  const bool failed = writeFailed_.load(std::memory_order_relaxed);
  if (failed) {
    // The encoder counted frames the file never got: the header is built
    // from the frames that are there.
    platform::lame::RepairMp3VbrHeader(fileName_);
  } else {
    // The header describes the whole stream, so it goes into the closed file
    // before the stream is released.
    table_.beWriteVBRHeader(stream_, fileName_);
  }
  ReleaseStream();
  return failed ? kMp3WriteFailed : BE_ERR_SUCCESSFUL;
}

void InstallMp3EncoderProbe() {
  SetMp3EncoderProbe([] { return CMp3Encoder().isLoaded(); });
}

}  // namespace orvweb
