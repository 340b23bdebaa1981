#pragma once
// The MP3 encoder binding: BladeEnc-shaped entry points of the LAME library,
// the stream configuration for the captured format, 16-bit PCM cut into the
// encoder's chunks, and the song file the MP3 bytes are appended to.
//
// The entry points sit in a table so tests can count calls and inject
// failures; the real table is built over libmp3lame (lame_library.h).
// Sample counts are always counts of 16-bit values: a stereo frame is two.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/audio/audio.h"
#include "platform/files/files.h"

namespace orvweb {

using BE_ERR = uint32_t;
using HBE_STREAM = uintptr_t;

inline constexpr BE_ERR BE_ERR_SUCCESSFUL = 0;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT = 1;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 2;
inline constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 5;
// Our own result: a chunk's or the file's bytes could not be written, or a
// feed completed no chunk.
inline constexpr BE_ERR kMp3WriteFailed = 4;

inline constexpr uint32_t BE_CONFIG_LAME = 256;
inline constexpr int32_t BE_MP3_MODE_STEREO = 0;
inline constexpr int32_t BE_MP3_MODE_JSTEREO = 1;
inline constexpr int32_t BE_MP3_MODE_DUALCHANNEL = 2;
inline constexpr int32_t BE_MP3_MODE_MONO = 3;
inline constexpr uint32_t MPEG1 = 1;

// Quality presets of the configuration record.
enum LamePreset : int32_t {
  LQP_NOPRESET = -1,
  LQP_NORMAL_QUALITY = 0,
  LQP_LOW_QUALITY = 1,
  LQP_HIGH_QUALITY = 2,
  LQP_VOICE_QUALITY = 3,
  LQP_R3MIX = 4,
  LQP_VERYHIGH_QUALITY = 5,
  LQP_STANDARD = 6,
  LQP_FAST_STANDARD = 7,
  LQP_EXTREME = 8,
  LQP_FAST_EXTREME = 9,
  LQP_INSANE = 10,
  LQP_ABR = 11,
  LQP_CBR = 12,
  LQP_MEDIUM = 13,
  LQP_FAST_MEDIUM = 14,
};

enum VbrMethod : int32_t {
  VBR_METHOD_NONE = -1,
  VBR_METHOD_DEFAULT = 0,
  VBR_METHOD_OLD = 1,
  VBR_METHOD_NEW = 2,
  VBR_METHOD_MTRH = 3,
  VBR_METHOD_ABR = 4,
};

// The configuration record in its LAME form, byte-packed as published.
#pragma pack(push, 1)
struct BE_CONFIG {
  uint32_t dwConfig;
  uint32_t dwStructVersion;
  uint32_t dwStructSize;
  uint32_t dwSampleRate;
  uint32_t dwReSampleRate;
  int32_t nMode;
  uint32_t dwBitrate;
  uint32_t dwMaxBitrate;
  int32_t nPreset;
  uint32_t dwMpegVersion;
  uint32_t dwPsyModel;
  uint32_t dwEmphasis;
  int32_t bPrivate;
  int32_t bCRC;
  int32_t bCopyright;
  int32_t bOriginal;
  int32_t bWriteVBRHeader;
  int32_t bEnableVBR;
  int32_t nVBRQuality;
  uint32_t dwVbrAbr_bps;
  int32_t nVbrMethod;
  int32_t bNoRes;
  int32_t bStrictIso;
  uint16_t nQuality;
  uint8_t btReserved[255 - 4 * sizeof(uint32_t) - sizeof(uint16_t)];
};
#pragma pack(pop)
static_assert(sizeof(BE_CONFIG) == 331);

struct BE_VERSION {
  uint8_t byDLLMajorVersion = 0;
  uint8_t byDLLMinorVersion = 0;
  uint8_t byMajorVersion = 0;  // the encoder engine's version
  uint8_t byMinorVersion = 0;
};

// The entry points. An empty member is an entry point the library lacks.
struct Mp3EncoderTable {
  // Out: chunk size in 16-bit values, MP3 buffer size in bytes, the stream.
  std::function<BE_ERR(const BE_CONFIG& config, uint32_t& samples, uint32_t& bufferSize, HBE_STREAM& stream)>
      beInitStream;
  std::function<BE_ERR(HBE_STREAM stream, uint32_t count, const int16_t* values, uint8_t* output,
                       uint32_t& outputBytes)>
      beEncodeChunk;
  // The final MP3 bytes of the stream.
  std::function<BE_ERR(HBE_STREAM stream, uint8_t* output, uint32_t& outputBytes)> beDeinitStream;
  // Releases the stream.
  std::function<BE_ERR(HBE_STREAM stream)> beCloseStream;
  std::function<void(BE_VERSION& version)> beVersion;
  // Writes the VBR/Info header frame of the finished stream into the closed
  // file (UTF-8 path).
  std::function<BE_ERR(HBE_STREAM stream, const std::string& utf8Path)> beWriteVBRHeader;

  // All six entry points are there.
  bool Complete() const {
    return beInitStream && beEncodeChunk && beDeinitStream && beCloseStream && beVersion && beWriteVBRHeader;
  }
};

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

  // Configures a new stream and creates the file anew, starting with room for
  // the song's tag (id3_tag.h). Throws Mp3EncoderError when no library is
  // loaded or the samples are not 16-bit. A refused stream creates no file.
  // A previous stream is discarded unfinished.
  BE_ERR OpenStream(const platform::audio::WaveFormat& format, const std::string& utf8Path);
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
  uint32_t chunkSize() const { return chunkSize_; }
  uint32_t bufferedCount() const { return buffered_; }
  const std::string& fileName() const { return fileName_; }

 private:
  void ReleaseStream();
  void CloseFile();

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
};

}  // namespace orvweb
