#pragma once
// The MP3 encoder: the stream configuration for the captured format, 16-bit
// PCM cut into the encoder's chunks, and the song file the MP3 bytes are
// appended to, over the BladeEnc-shaped entry points of the LAME library.
//
// The entry points sit in a table so tests can count calls and inject
// failures; the real table is bound by platform/lame.
// Sample counts are always counts of 16-bit values: a stereo frame is two.
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/audio/audio.h"
#include "platform/files/files.h"
#include "platform/lame/lame.h"

namespace orvweb {

// The library's entry points and records, used here as the encoder's own.
using platform::lame::BE_CONFIG;
using platform::lame::BE_CONFIG_LAME;
using platform::lame::BE_ERR;
using platform::lame::BE_ERR_BUFFER_TOO_SMALL;
using platform::lame::BE_ERR_INVALID_FORMAT;
using platform::lame::BE_ERR_INVALID_FORMAT_PARAMETERS;
using platform::lame::BE_ERR_SUCCESSFUL;
using platform::lame::BE_MP3_MODE_DUALCHANNEL;
using platform::lame::BE_MP3_MODE_JSTEREO;
using platform::lame::BE_MP3_MODE_MONO;
using platform::lame::BE_MP3_MODE_STEREO;
using platform::lame::BE_VERSION;
using platform::lame::HBE_STREAM;
using platform::lame::Mp3EncoderTable;
using platform::lame::MPEG1;
using enum platform::lame::LamePreset;
using enum platform::lame::VbrMethod;

// Our own result: a chunk's or the file's bytes could not be written, or a
// feed completed no chunk.
inline constexpr BE_ERR kMp3WriteFailed = 4;

// The two configuration faults, raised with their English text.
class Mp3EncoderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr char kEncoderNotLoaded[] = "The MP3 encoder library was not loaded";
inline constexpr char kNeeds16Bits[] = "Resampling is not supported. 16 bits samples are required";

// The configuration record for a captured format: joint stereo for two
// channels, else mono; 128 kbit/s; R3MIX preset; original bit; VBR header.
BE_CONFIG MakeEncoderConfig(const platform::audio::WaveFormat& format);

class CMp3Encoder {
 public:
  // Binds the LAME library (program folder first, then the system's search).
  CMp3Encoder();
  // Binds the given entry points; loaded when the table is complete.
  explicit CMp3Encoder(Mp3EncoderTable table);
  ~CMp3Encoder();
  CMp3Encoder(const CMp3Encoder&) = delete;
  CMp3Encoder& operator=(const CMp3Encoder&) = delete;

  bool isLoaded() const { return isLoaded_; }
  // Major and minor version of the encoder engine; {0, 0} when not loaded.
  std::pair<int, int> GetVersion() const;

  // Configures a new stream and creates the file anew, starting with
  // leadingTag (the song's ID3v2 tag with room to spare), or an empty tag of
  // that room when it is empty (platform/id3). Throws Mp3EncoderError when no library is
  // loaded or the samples are not 16-bit. A refused stream creates no file.
  // A previous stream is discarded unfinished. Without vbrHeader the stream
  // gets no VBR/Info frame (one appended to another's frames).
  BE_ERR OpenStream(const platform::audio::WaveFormat& format, const std::string& utf8Path,
                    const std::string& leadingTag = {}, bool vbrHeader = true);
  // Feeds count 16-bit values (little-endian, any alignment). Runs on the
  // capture thread: allocates nothing.
  BE_ERR EncodeSamples(const uint8_t* values, uint32_t count);
  // Encodes the buffered count of values from the given memory and appends
  // the MP3 bytes.
  BE_ERR WriteChunk(const int16_t* values);
  // Encodes what is buffered, writes the final bytes, closes the file, then
  // writes the VBR/Info header into the closed file.
  BE_ERR CloseStream();

  bool streaming() const { return stream_ != 0; }
  // A write to the song file failed (disk full, file system gone): the
  // file holds the whole frames written before, nothing after. Set on the
  // thread that feeds; cleared by OpenStream.
  bool writeFailed() const { return writeFailed_.load(std::memory_order_acquire); }
  uint32_t chunkSize() const { return chunkSize_; }
  uint32_t bufferedCount() const { return buffered_; }
  const std::string& fileName() const { return fileName_; }

 private:
  void ReleaseStream();
  void CloseFile();
  // Appends that many bytes of the MP3 buffer; on failure cuts the file
  // back and stops all further writes.
  BE_ERR AppendBytes(uint32_t bytes);

  Mp3EncoderTable table_;
  bool isLoaded_ = false;
  std::unique_ptr<uint8_t[]> mp3Buffer_;
  uint32_t mp3BufferSize_ = 0;
  uint32_t chunkSize_ = 0;
  std::unique_ptr<int16_t[]> pcmBuffer_;
  uint32_t buffered_ = 0;
  HBE_STREAM stream_ = 0;
  platform::files::OutputFile file_;
  std::string fileName_;
  int bytesPerSample_ = 0;
  std::atomic<bool> writeFailed_{false};
};

// Makes GetOutputFormat() ask whether the library can be bound.
void InstallMp3EncoderProbe();

}  // namespace orvweb
