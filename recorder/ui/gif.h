#pragma once
// The GIF block structure, read just far enough to split an animation into
// stand-alone single-image GIFs that any picture loader can decode. Every
// read is bounds-checked: a block that runs past the buffer is malformed.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace orvweb::gif {

struct Screen {
  uint16_t width = 0;
  uint16_t height = 0;
  // Bytes of the global colour table; 0 without one.
  size_t tableSize = 0;
  // Header + logical screen descriptor + global colour table.
  size_t firstBlock = 0;
};

// nullopt unless the data starts with "GIF" and holds the 13-byte header.
std::optional<Screen> ReadScreen(std::span<const uint8_t> data);

enum class BlockKind { Application, Comment, GraphicControl, PlainText, Image, Trailer, Unknown };

struct Block {
  BlockKind kind = BlockKind::Unknown;
  // Whole length including any data sub-blocks; 0 when the block is
  // unrecognised or runs past the end of the data.
  size_t length = 0;
};

Block BlockAt(std::span<const uint8_t> data, size_t offset);

// Images (image descriptors and plain text extensions) from the first block
// on, stopping at the trailer or at the first malformed block.
size_t CountImages(std::span<const uint8_t> data, const Screen& screen);

// Frame delays are in hundredths of a second; a frame without a graphic
// control extension has this delay and so stays until the animation stops.
inline constexpr uint32_t kNoDelay = 0xFFFFFFFFu;

struct Frame {
  uint16_t left = 0;
  uint16_t top = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t delay = kNoDelay;
  uint8_t disposal = 0;
  // header, logical screen, global table, the frame's blocks, trailer 0x3B.
  std::vector<uint8_t> bytes;
};

// Every frame from the first block on: its graphic control extension (if
// any) with the application and comment extensions after it, and its image.
std::vector<Frame> ExtractFrames(std::span<const uint8_t> data, const Screen& screen);

// How long a frame stays, in ms: delays up to 4 are too fast for a notice
// picture and wait 100 ms; longer ones are delay x 10 in 32-bit arithmetic.
inline uint32_t FrameWaitMs(uint32_t delay) { return delay > 4 ? delay * 10u : 100u; }

}  // namespace orvweb::gif
