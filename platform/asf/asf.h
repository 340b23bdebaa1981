#pragma once
// The WMA writer: Windows Media Audio 2 at 128 kbit/s, 44.1 kHz stereo in an
// ASF file (the captured format is resampled), with the content description
// attributes "Title", "Author" and "Description". It sits downstream of the
// capture tap: the file is opened when the stream runs and finished when it
// stops.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/audio/audio.h"

namespace platform::asf {

class WmaWriter : public audio::Downstream {
 public:
  // Both are set before the stream runs; a later Start uses them.
  virtual HRESULT SetFileName(const std::string& utf8Path) = 0;
  virtual HRESULT SetAttribute(std::u16string_view name, std::u16string_view value) = 0;
  // A write to the file failed (disk full, file system gone) since the
  // last Start; nothing more reaches the file. Read on any thread.
  virtual bool WriteFailed() const { return false; }
};

// The real writer over FFmpeg (asf muxer, wmav2 encoder, libswresample).
// Every packet reaches the file as it is made, so a file left by a crash
// plays up to its last packet.
std::shared_ptr<WmaWriter> MakeFfmpegWmaWriter();

// The play length of a WMA file; nullopt when it cannot be read.
std::optional<int64_t> WmaDurationMs(const std::string& utf8Path);

// The content description's Description of a WMA file; empty when it has
// none or cannot be read.
std::u16string WmaDescription(const std::string& utf8Path);

// Copies the file's packets (no re-encoding) into a new file beside it and
// renames that over it, so its header holds the real sizes and duration.
// False, with the file unchanged, when that fails.
bool RepairWmaFile(const std::string& utf8Path);

// Audio a song file never received (a crash came first): 16-bit
// interleaved PCM whose first primingFrames only prime the encoder, as the
// writer's first block is never heard.
struct PcmTail {
  audio::WaveFormat format{};
  const int16_t* pcm = nullptr;
  size_t frames = 0;
  size_t primingFrames = 0;
};

// RepairWmaFile, with the tail encoded (the writer's settings) after the
// copied packets. False, with the file unchanged, when that fails.
bool RepairWmaFileAppending(const std::string& utf8Path, const PcmTail& tail);

}  // namespace platform::asf
