#pragma once
// What an MP3 file holds, read from its frames: how long it plays, and the
// repair of a file whose encoder never finished (its VBR/Info frame still
// the encoder's blank placeholder, its last frame perhaps cut short).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::lame {

struct Mp3Scan {
  uint64_t frames = 0;           // whole audio frames, the VBR/Info frame not counted
  uint32_t sampleRate = 0;
  uint32_t samplesPerFrame = 0;  // per channel: 1152 (MPEG-1) or 576
  uint64_t streamStart = 0;      // file offset of the VBR/Info frame, else of the first audio frame
  uint64_t streamEnd = 0;        // end of the last whole frame
  uint64_t infoFrameBytes = 0;   // size of the VBR/Info frame (or of its blank placeholder), 0 without one
  bool infoFrameBlank = false;   // the placeholder was never filled in
  std::vector<uint64_t> frameOffsets;  // of every audio frame, for the seek table

  int64_t DurationMs() const {
    return sampleRate ? static_cast<int64_t>(frames * samplesPerFrame * 1000 / sampleRate) : 0;
  }
};

// Scans the frames behind the leading ID3v2 tag up to the first byte that
// is not a whole frame (the ID3v1 tag, or a cut-off frame). nullopt when the
// file cannot be read or holds no audio frame.
std::optional<Mp3Scan> ScanMp3(const std::vector<uint8_t>& bytes);
std::optional<Mp3Scan> ScanMp3File(const std::string& utf8Path);

// The play length by the frame count; nullopt when not an MP3 file.
std::optional<int64_t> Mp3DurationMs(const std::string& utf8Path);

// Gives the file's VBR/Info frame the frame count, byte count and seek table
// of its frames (building the frame in the encoder's blank placeholder when
// the encoder never wrote it) and cuts a partial last frame. False, with the
// file unchanged, when the file has no audio frames or no room for the frame.
bool RepairMp3VbrHeader(const std::string& utf8Path);

}  // namespace platform::lame
