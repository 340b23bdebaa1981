#pragma once
// The LAME library bound at run time behind BladeEnc-shaped entry points:
// libmp3lame.so.0 from the program's folder first, else from the system's
// library search path, never unloaded. The entry points sit in a table so
// the encoder's users can put counting or failing ones in its place.
// Sample counts are always counts of 16-bit values: a stereo frame is two.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace platform::lame {

inline constexpr char kLameLibraryName[] = "libmp3lame.so.0";

using BE_ERR = uint32_t;
using HBE_STREAM = uintptr_t;

inline constexpr BE_ERR BE_ERR_SUCCESSFUL = 0;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT = 1;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 2;
inline constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 5;

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

struct LameApi;

// Loads the library (folder first) and resolves every entry point the
// binding uses; nullptr when the library or one entry point is missing.
std::shared_ptr<const LameApi> LoadLameApi(const std::filesystem::path& programFolder);
// The file the library was loaded from.
std::string LameLibraryPath(const LameApi& api);

// The entry points over a loaded library, giving the configuration record
// LAME's own meaning; an empty table for nullptr.
Mp3EncoderTable MakeLameTable(std::shared_ptr<const LameApi> api);
// The table over the library of the program's folder or the system. A
// library that is found once stays bound; a missing one is looked for again
// next time.
Mp3EncoderTable LameEncoderTable();

}  // namespace platform::lame
