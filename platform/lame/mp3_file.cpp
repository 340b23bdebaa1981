#include "platform/lame/mp3_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/files/files.h"

namespace platform::lame {
namespace {

using files::PWriteAll;
using Fd = files::UniqueFd;

// An info frame's layout behind its tag: flags, frames, bytes, the seek
// table of 100 entries, quality; then the encoder's own extension.
constexpr uint32_t kAllFields = 0x0F;
constexpr size_t kTagFieldsBytes = 120;
constexpr size_t kExtMusicLength = kTagFieldsBytes + 28;
constexpr size_t kExtMusicCrc = kTagFieldsBytes + 32;
constexpr size_t kExtTagCrc = kTagFieldsBytes + 34;
constexpr size_t kV1Bytes = 128;
constexpr size_t kMaxFrameBytes = 1441;  // 320 kbit/s at 32 kHz, padded

struct Header {
  int version = 0;  // 1 MPEG-1, 2 MPEG-2, 25 MPEG-2.5
  int bitrateIndex = 0;
  int rateIndex = 0;
  uint32_t rate = 0;
  bool padding = false;
  bool mono = false;
  uint32_t length = 0;
  uint32_t samplesPerFrame = 0;
  size_t sideInfo = 0;
};

constexpr int kBitratesV1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
constexpr int kBitratesV2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
constexpr uint32_t kRates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};

uint32_t FrameLength(int version, int bitrateIndex, uint32_t rate, bool padding) {
  const int kbps = (version == 1 ? kBitratesV1 : kBitratesV2)[bitrateIndex];
  return (version == 1 ? 144000u : 72000u) * static_cast<uint32_t>(kbps) / rate + (padding ? 1 : 0);
}

// A Layer III frame header at p (4 bytes), else nullopt.
std::optional<Header> ParseHeader(const uint8_t* p) {
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return std::nullopt;
  const int versionBits = (p[1] >> 3) & 3;
  if (versionBits == 1 || ((p[1] >> 1) & 3) != 1) return std::nullopt;
  Header h;
  h.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
  h.bitrateIndex = p[2] >> 4;
  h.rateIndex = (p[2] >> 2) & 3;
  if (h.bitrateIndex == 0 || h.bitrateIndex == 15 || h.rateIndex == 3) return std::nullopt;
  h.rate = kRates[h.version == 1 ? 0 : h.version == 2 ? 1 : 2][h.rateIndex];
  h.padding = (p[2] >> 1) & 1;
  h.mono = (p[3] >> 6) == 3;
  h.length = FrameLength(h.version, h.bitrateIndex, h.rate, h.padding);
  h.samplesPerFrame = h.version == 1 ? 1152 : 576;
  h.sideInfo = h.version == 1 ? (h.mono ? 17 : 32) : (h.mono ? 9 : 17);
  return h;
}

bool HasInfoTag(const uint8_t* frame, const Header& h) {
  const uint8_t* tag = frame + 4 + h.sideInfo;
  return std::memcmp(tag, "Xing", 4) == 0 || std::memcmp(tag, "Info", 4) == 0;
}

size_t LeadingId3v2Bytes(const std::vector<uint8_t>& b) {
  if (b.size() < 10 || std::memcmp(b.data(), "ID3", 3) != 0) return 0;
  size_t size = 0;
  for (int i = 6; i < 10; ++i) size = (size << 7) | (b[i] & 0x7F);
  return 10 + size + ((b[5] & 0x10) ? 10 : 0);
}

// A frame at pos that is followed by another one (or by the end): a sync
// word inside audio data rarely passes both.
bool FrameChainAt(const std::vector<uint8_t>& b, size_t pos) {
  if (pos + 4 > b.size()) return false;
  const auto h = ParseHeader(&b[pos]);
  if (!h || pos + h->length > b.size()) return false;
  const size_t next = pos + h->length;
  if (next + 4 > b.size()) return true;
  const auto n = ParseHeader(&b[next]);
  return n && n->version == h->version && n->rate == h->rate;
}

// CRC-16 as the encoder puts it in its extension (reflected 0x8005, start 0).
uint16_t Crc16(const uint8_t* data, size_t size, uint16_t crc = 0) {
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

void PutBe32(uint8_t* out, uint64_t value) {
  const auto v = static_cast<uint32_t>(std::min<uint64_t>(value, 0xFFFFFFFFu));
  out[0] = static_cast<uint8_t>(v >> 24);
  out[1] = static_cast<uint8_t>(v >> 16);
  out[2] = static_cast<uint8_t>(v >> 8);
  out[3] = static_cast<uint8_t>(v);
}

uint32_t GetBe32(const uint8_t* in) {
  return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | in[3];
}

bool ReadAll(int fd, std::vector<uint8_t>& out) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  out.resize(static_cast<size_t>(st.st_size));
  return files::PReadAll(fd, out.data(), out.size(), 0);
}

// A header for an info frame of exactly `bytes` bytes in the stream of
// `audio` (same version, rate and channel mode), else nullopt.
std::optional<std::array<uint8_t, 4>> InfoFrameHeader(const uint8_t* audio, const Header& a, uint64_t bytes) {
  for (int index = 1; index < 15; ++index) {
    for (const bool padding : {false, true}) {
      if (FrameLength(a.version, index, a.rate, padding) != bytes) continue;
      std::array<uint8_t, 4> h{};
      h[0] = 0xFF;
      h[1] = static_cast<uint8_t>(audio[1] | 0x01);  // no CRC
      h[2] = static_cast<uint8_t>((index << 4) | (a.rateIndex << 2) | (padding ? 2 : 0) | (audio[2] & 1));
      h[3] = static_cast<uint8_t>(audio[3] & 0xCF);  // no mode extension
      return h;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<Mp3Scan> ScanMp3(const std::vector<uint8_t>& b) {
  Mp3Scan scan;
  size_t pos = LeadingId3v2Bytes(b);
  if (pos >= b.size()) return std::nullopt;
  scan.streamStart = pos;
  if (pos + 4 <= b.size()) {
    if (const auto h = ParseHeader(&b[pos]); h && pos + h->length <= b.size() && HasInfoTag(&b[pos], *h)) {
      scan.infoFrameBytes = h->length;
      pos += h->length;
    } else if (h && pos + h->length <= b.size() &&
               std::all_of(b.begin() + static_cast<ptrdiff_t>(pos + 4),
                           b.begin() + static_cast<ptrdiff_t>(pos + h->length), [](uint8_t v) { return v == 0; })) {
      // The encoder's placeholder: a frame header and nothing behind it.
      scan.infoFrameBytes = h->length;
      scan.infoFrameBlank = true;
      pos += h->length;
    } else if (b[pos] == 0) {
      // The encoder's blank placeholder: zeros up to the first frame.
      size_t at = pos;
      while (at < b.size() && b[at] == 0) ++at;
      if (at < b.size() && FrameChainAt(b, at)) {
        scan.infoFrameBytes = at - pos;
        scan.infoFrameBlank = true;
        pos = at;
      }
    }
  }
  std::optional<Header> first;
  while (pos + 4 <= b.size()) {
    const auto h = ParseHeader(&b[pos]);
    if (!h || pos + h->length > b.size()) break;
    if (first && (h->version != first->version || h->rate != first->rate)) break;
    if (!first) first = h;
    scan.frameOffsets.push_back(pos);
    pos += h->length;
  }
  if (!first) return std::nullopt;
  scan.frames = scan.frameOffsets.size();
  scan.sampleRate = first->rate;
  scan.samplesPerFrame = first->samplesPerFrame;
  scan.streamEnd = pos;
  return scan;
}

std::optional<Mp3Scan> ScanMp3File(const std::string& utf8Path) {
  Fd fd(::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<uint8_t> bytes;
  if (fd.get() < 0 || !ReadAll(fd.get(), bytes)) return std::nullopt;
  return ScanMp3(bytes);
}

std::optional<int64_t> Mp3DurationMs(const std::string& utf8Path) {
  const auto scan = ScanMp3File(utf8Path);
  if (!scan) return std::nullopt;
  return scan->DurationMs();
}

bool RepairMp3VbrHeader(const std::string& utf8Path) {
  Fd fd(::open(utf8Path.c_str(), O_RDWR | O_CLOEXEC));
  std::vector<uint8_t> b;
  if (fd.get() < 0 || !ReadAll(fd.get(), b)) return false;
  const auto scan = ScanMp3(b);
  if (!scan) return false;

  const size_t start = scan->streamStart;
  const size_t frameBytes = scan->infoFrameBytes;
  if (frameBytes > 0) {
    const size_t firstAudio = scan->frameOffsets.front();
    const auto audio = ParseHeader(&b[firstAudio]);
    std::vector<uint8_t> frame(b.begin() + static_cast<ptrdiff_t>(start),
                               b.begin() + static_cast<ptrdiff_t>(start + frameBytes));
    if (scan->infoFrameBlank) {
      const auto header = InfoFrameHeader(&b[firstAudio], *audio, frameBytes);
      if (!header) return false;
      std::copy(header->begin(), header->end(), frame.begin());
    }
    const auto info = ParseHeader(frame.data());
    if (!info) return false;
    const size_t x = 4 + info->sideInfo;
    if (x + kTagFieldsBytes > frame.size()) return false;

    const bool hadAllFields = !scan->infoFrameBlank && GetBe32(&frame[x + 4]) == kAllFields;
    if (scan->infoFrameBlank) {
      // "Info" marks a constant bit rate, "Xing" a variable one.
      bool constant = true;
      for (const uint64_t at : scan->frameOffsets) constant = constant && (b[at + 2] >> 4) == (b[firstAudio + 2] >> 4);
      std::memcpy(&frame[x], constant ? "Info" : "Xing", 4);
    }
    const uint64_t streamBytes = scan->streamEnd - start;
    PutBe32(&frame[x + 4], kAllFields);
    PutBe32(&frame[x + 8], scan->frames);
    PutBe32(&frame[x + 12], streamBytes);
    for (size_t i = 0; i < 100; ++i) {
      const uint64_t offset = scan->frames ? scan->frameOffsets[i * scan->frames / 100] - start : 0;
      frame[x + 16 + i] = static_cast<uint8_t>(std::min<uint64_t>(255, offset * 256 / streamBytes));
    }
    if (!hadAllFields) PutBe32(&frame[x + 116], 0);
    // The encoder's extension carries the stream's length and checksums.
    if (hadAllFields && x + kExtTagCrc + 2 <= frame.size() && std::memcmp(&frame[x + kTagFieldsBytes], "LAME", 4) == 0) {
      PutBe32(&frame[x + kExtMusicLength], streamBytes);
      const uint16_t musicCrc = Crc16(&b[start + frameBytes], scan->streamEnd - start - frameBytes);
      frame[x + kExtMusicCrc] = static_cast<uint8_t>(musicCrc >> 8);
      frame[x + kExtMusicCrc + 1] = static_cast<uint8_t>(musicCrc);
      const uint16_t tagCrc = Crc16(frame.data(), x + kExtTagCrc);
      frame[x + kExtTagCrc] = static_cast<uint8_t>(tagCrc >> 8);
      frame[x + kExtTagCrc + 1] = static_cast<uint8_t>(tagCrc);
    }
    if (!PWriteAll(fd.get(), frame.data(), frame.size(), static_cast<off_t>(start))) return false;
  }

  // A frame cut short by the end of the file goes; an ID3v1 tag stays.
  const size_t rest = b.size() - scan->streamEnd;
  const bool v1 = rest == kV1Bytes && std::memcmp(&b[scan->streamEnd], "TAG", 3) == 0;
  if (rest > 0 && !v1 && rest < kMaxFrameBytes) {
    if (::ftruncate(fd.get(), static_cast<off_t>(scan->streamEnd)) != 0) return false;
  }
  return true;
}

}  // namespace platform::lame
