#include "platform/lame/lame.h"

#include <dlfcn.h>
#include <lame/lame.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "platform/shell/folders.h"

namespace platform::lame {

// Every LAME function the entry points call.
#define ORVWEB_LAME_FUNCTIONS(X)                                                                        \
  X(lame_init) X(lame_close) X(lame_init_params) X(lame_set_in_samplerate) X(lame_set_out_samplerate)  \
  X(lame_set_num_channels) X(lame_get_num_channels) X(lame_set_mode) X(lame_set_force_ms)              \
  X(lame_set_VBR) X(lame_set_VBR_q) X(lame_set_VBR_mean_bitrate_kbps) X(lame_set_VBR_min_bitrate_kbps) \
  X(lame_set_VBR_max_bitrate_kbps) X(lame_set_VBR_hard_min) X(lame_set_brate) X(lame_set_preset) X(lame_set_quality)            \
  X(lame_set_strict_ISO) X(lame_set_copyright) X(lame_set_original) X(lame_set_error_protection)      \
  X(lame_set_extension) X(lame_set_disable_reservoir) X(lame_set_bWriteVbrTag)                         \
  X(lame_get_bWriteVbrTag) X(lame_get_version) X(lame_encode_buffer) X(lame_encode_buffer_interleaved) \
  X(lame_encode_flush) X(lame_mp3_tags_fid) X(get_lame_version_numerical)

struct LameApi {
#define ORVWEB_LAME_MEMBER(name) decltype(&::name) name = nullptr;
  ORVWEB_LAME_FUNCTIONS(ORVWEB_LAME_MEMBER)
#undef ORVWEB_LAME_MEMBER
  std::string path;
};

namespace {

lame_global_flags* Flags(HBE_STREAM stream) { return reinterpret_cast<lame_global_flags*>(stream); }

void ApplyPreset(const LameApi& lame, lame_global_flags* gfp, int32_t preset) {
  switch (preset) {
    case LQP_LOW_QUALITY: lame.lame_set_quality(gfp, 9); break;
    case LQP_HIGH_QUALITY: lame.lame_set_quality(gfp, 2); break;
    case LQP_VOICE_QUALITY:
      lame.lame_set_mode(gfp, MONO);
      lame.lame_set_preset(gfp, 56);
      break;
    case LQP_R3MIX: lame.lame_set_preset(gfp, R3MIX); break;
    case LQP_VERYHIGH_QUALITY: lame.lame_set_quality(gfp, 0); break;
    case LQP_STANDARD: lame.lame_set_preset(gfp, STANDARD); break;
    case LQP_FAST_STANDARD: lame.lame_set_preset(gfp, STANDARD_FAST); break;
    case LQP_EXTREME: lame.lame_set_preset(gfp, EXTREME); break;
    case LQP_FAST_EXTREME: lame.lame_set_preset(gfp, EXTREME_FAST); break;
    case LQP_INSANE: lame.lame_set_preset(gfp, INSANE); break;
    case LQP_MEDIUM: lame.lame_set_preset(gfp, MEDIUM); break;
    case LQP_FAST_MEDIUM: lame.lame_set_preset(gfp, MEDIUM_FAST); break;
    default: break;  // normal quality, ABR and CBR are handled by the caller
  }
}

// The configuration record in the order LAME's own BladeEnc interface reads
// it: mode and bit rate first, then the preset (which may switch to VBR),
// then the flags, the bit rate again as the VBR minimum, and the VBR tag.
BE_ERR InitStream(const LameApi& lame, const BE_CONFIG& config, uint32_t& samples, uint32_t& bufferSize,
                  HBE_STREAM& stream) {
  stream = 0;
  if (config.dwConfig != BE_CONFIG_LAME) return BE_ERR_INVALID_FORMAT;
  lame_global_flags* gfp = lame.lame_init();
  if (!gfp) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  auto fail = [&](BE_ERR error) {
    lame.lame_close(gfp);
    return error;
  };

  lame.lame_set_in_samplerate(gfp, static_cast<int>(config.dwSampleRate));
  lame.lame_set_bWriteVbrTag(gfp, 0);
  if (config.nPreset == LQP_ABR) {
    lame.lame_set_preset(gfp, std::clamp(static_cast<int>(config.dwVbrAbr_bps / 1000), 8, 320));
  }
  if (config.nPreset == LQP_CBR) {
    lame.lame_set_preset(gfp, static_cast<int>(config.dwBitrate));
    lame.lame_set_VBR(gfp, vbr_off);
  }
  if (config.nPreset < LQP_STANDARD) {
    switch (config.nMode) {
      case BE_MP3_MODE_STEREO:
        lame.lame_set_mode(gfp, STEREO);
        lame.lame_set_num_channels(gfp, 2);
        break;
      case BE_MP3_MODE_JSTEREO:
        lame.lame_set_mode(gfp, JOINT_STEREO);
        lame.lame_set_num_channels(gfp, 2);
        break;
      case BE_MP3_MODE_MONO:
        lame.lame_set_mode(gfp, MONO);
        lame.lame_set_num_channels(gfp, 1);
        break;
      case BE_MP3_MODE_DUALCHANNEL:
        lame.lame_set_force_ms(gfp, 1);
        lame.lame_set_mode(gfp, STEREO);
        lame.lame_set_num_channels(gfp, 2);
        break;
      default:
        return fail(BE_ERR_INVALID_FORMAT_PARAMETERS);
    }
    if (config.bEnableVBR) {
      lame.lame_set_VBR_q(gfp, config.nVBRQuality);
      switch (config.nVbrMethod) {
        case VBR_METHOD_NONE: lame.lame_set_VBR(gfp, vbr_off); break;
        case VBR_METHOD_OLD: lame.lame_set_VBR(gfp, vbr_rh); break;
        case VBR_METHOD_NEW:
        case VBR_METHOD_MTRH: lame.lame_set_VBR(gfp, vbr_mtrh); break;
        case VBR_METHOD_ABR: lame.lame_set_VBR(gfp, vbr_abr); break;
        default: lame.lame_set_VBR(gfp, vbr_default); break;
      }
    } else {
      lame.lame_set_VBR(gfp, vbr_off);
    }
    lame.lame_set_brate(gfp, static_cast<int>(config.dwBitrate));
    if (config.dwVbrAbr_bps > 0) {
      lame.lame_set_VBR(gfp, vbr_abr);
      lame.lame_set_VBR_mean_bitrate_kbps(gfp, std::clamp(static_cast<int>((config.dwVbrAbr_bps + 500) / 1000), 8, 320));
    }
  }
  if (config.nPreset != LQP_NOPRESET) ApplyPreset(lame, gfp, config.nPreset);
  if (config.dwReSampleRate > 0) lame.lame_set_out_samplerate(gfp, static_cast<int>(config.dwReSampleRate));
  if (config.nMode == BE_MP3_MODE_MONO) {
    lame.lame_set_mode(gfp, MONO);
    lame.lame_set_num_channels(gfp, 1);
  }
  lame.lame_set_strict_ISO(gfp, config.bStrictIso ? 1 : 0);
  if (config.bCopyright) lame.lame_set_copyright(gfp, 1);
  lame.lame_set_original(gfp, config.bOriginal ? 1 : 0);
  lame.lame_set_error_protection(gfp, config.bCRC ? 1 : 0);
  lame.lame_set_extension(gfp, config.bPrivate ? 1 : 0);
  if (config.dwBitrate > 0) {
    lame.lame_set_VBR_min_bitrate_kbps(gfp, static_cast<int>(config.dwBitrate));
    // A floor also in silence: LAME would otherwise drop silent frames, the
    // final padding frame included, to 32 kbit/s.
    lame.lame_set_VBR_hard_min(gfp, 1);
  }
  if (config.dwMaxBitrate > 0) lame.lame_set_VBR_max_bitrate_kbps(gfp, static_cast<int>(config.dwMaxBitrate));
  if (config.bNoRes) lame.lame_set_disable_reservoir(gfp, 1);
  lame.lame_set_bWriteVbrTag(gfp, config.bWriteVBRHeader ? 1 : 0);
  // The quality byte counts only when its complement is in the high byte.
  if ((config.nQuality & 0xFF) == ((~(config.nQuality >> 8)) & 0xFF)) {
    lame.lame_set_quality(gfp, config.nQuality & 0xFF);
  }
  if (lame.lame_init_params(gfp) != 0) return fail(BE_ERR_INVALID_FORMAT_PARAMETERS);

  const int channels = lame.lame_get_num_channels(gfp);
  // MPEG-1 frames hold 1152 samples per channel, MPEG-2 576.
  samples = static_cast<uint32_t>((lame.lame_get_version(gfp) == 0 ? 576 : 1152) * channels);
  bufferSize = static_cast<uint32_t>(1.25 * (samples / channels) + 7200);
  stream = reinterpret_cast<HBE_STREAM>(gfp);
  return BE_ERR_SUCCESSFUL;
}

BE_ERR EncodeChunk(const LameApi& lame, HBE_STREAM stream, uint32_t count, const int16_t* values, uint8_t* output,
                   uint32_t& outputBytes) {
  outputBytes = 0;
  lame_global_flags* gfp = Flags(stream);
  if (!gfp) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  const int channels = lame.lame_get_num_channels(gfp);
  const int frames = static_cast<int>(count) / channels;
  // LAME copies the input; it does not write through these pointers.
  auto* pcm = const_cast<short*>(values);
  const int n = channels == 1 ? lame.lame_encode_buffer(gfp, pcm, pcm, frames, output, 0)
                              : lame.lame_encode_buffer_interleaved(gfp, pcm, frames, output, 0);
  if (n < 0) return BE_ERR_BUFFER_TOO_SMALL;
  outputBytes = static_cast<uint32_t>(n);
  return BE_ERR_SUCCESSFUL;
}

BE_ERR DeinitStream(const LameApi& lame, HBE_STREAM stream, uint8_t* output, uint32_t& outputBytes) {
  outputBytes = 0;
  if (!stream) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  const int n = lame.lame_encode_flush(Flags(stream), output, 0);
  if (n < 0) return BE_ERR_BUFFER_TOO_SMALL;
  outputBytes = static_cast<uint32_t>(n);
  return BE_ERR_SUCCESSFUL;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

BE_ERR WriteVbrHeader(const LameApi& lame, HBE_STREAM stream, const std::string& utf8Path) {
  lame_global_flags* gfp = Flags(stream);
  if (!gfp) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  if (!lame.lame_get_bWriteVbrTag(gfp)) return BE_ERR_SUCCESSFUL;
  // LAME reads to skip a leading ID3v2 tag, then rewrites its header frame.
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(utf8Path.c_str(), "rb+"));
  if (!file) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  lame.lame_mp3_tags_fid(gfp, file.get());
  return BE_ERR_SUCCESSFUL;
}

std::shared_ptr<const LameApi> Resolve(void* handle) {
  auto api = std::make_shared<LameApi>();
#define ORVWEB_LAME_RESOLVE(name)                                                \
  api->name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));       \
  if (!api->name) return nullptr;
  ORVWEB_LAME_FUNCTIONS(ORVWEB_LAME_RESOLVE)
#undef ORVWEB_LAME_RESOLVE
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(api->lame_init), &info) && info.dli_fname) api->path = info.dli_fname;
  return api;
}

}  // namespace

std::shared_ptr<const LameApi> LoadLameApi(const std::filesystem::path& programFolder) {
  // The handle is never closed: the library stays for the life of the process.
  void* handle = nullptr;
  if (!programFolder.empty()) {
    handle = ::dlopen((programFolder / kLameLibraryName).c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!handle) handle = ::dlopen(kLameLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  return Resolve(handle);
}

std::string LameLibraryPath(const LameApi& api) { return api.path; }

Mp3EncoderTable MakeLameTable(std::shared_ptr<const LameApi> api) {
  Mp3EncoderTable table;
  if (!api) return table;
  table.beInitStream = [api](const BE_CONFIG& config, uint32_t& samples, uint32_t& bufferSize, HBE_STREAM& stream) {
    return InitStream(*api, config, samples, bufferSize, stream);
  };
  table.beEncodeChunk = [api](HBE_STREAM stream, uint32_t count, const int16_t* values, uint8_t* output,
                              uint32_t& outputBytes) {
    return EncodeChunk(*api, stream, count, values, output, outputBytes);
  };
  table.beDeinitStream = [api](HBE_STREAM stream, uint8_t* output, uint32_t& outputBytes) {
    return DeinitStream(*api, stream, output, outputBytes);
  };
  table.beCloseStream = [api](HBE_STREAM stream) {
    if (stream) api->lame_close(Flags(stream));
    return BE_ERR_SUCCESSFUL;
  };
  table.beVersion = [api](BE_VERSION& version) {
    lame_version_t v{};
    api->get_lame_version_numerical(&v);
    version.byDLLMajorVersion = 1;
    version.byDLLMinorVersion = 0;
    version.byMajorVersion = static_cast<uint8_t>(v.major);
    version.byMinorVersion = static_cast<uint8_t>(v.minor);
  };
  table.beWriteVBRHeader = [api](HBE_STREAM stream, const std::string& utf8Path) {
    return WriteVbrHeader(*api, stream, utf8Path);
  };
  return table;
}

Mp3EncoderTable LameEncoderTable() {
  static std::mutex mutex;
  static std::shared_ptr<const LameApi> bound;
  std::lock_guard lock(mutex);
  if (!bound) bound = LoadLameApi(platform::shell::ProgramFolder());
  return MakeLameTable(bound);
}

}  // namespace platform::lame
