#include "recorder/ui/gif.h"

namespace orvweb::gif {
namespace {

uint16_t Word(std::span<const uint8_t> data, size_t offset) {
  return static_cast<uint16_t>(data[offset] | (data[offset + 1] << 8));
}

size_t ColourTableBytes(uint8_t packed) { return (packed & 0x80) ? 3u * (2u << (packed & 7)) : 0; }

// Length of the data sub-blocks at offset (size bytes, data and the zero
// terminator); 0 when they run past the end.
size_t SubBlocks(std::span<const uint8_t> data, size_t offset) {
  size_t at = offset;
  while (at < data.size()) {
    const size_t size = data[at];
    at += 1 + size;
    if (size == 0) return at - offset;
  }
  return 0;
}

// A fixed part of `head` bytes followed by sub-blocks.
size_t WithSubBlocks(std::span<const uint8_t> data, size_t offset, size_t head) {
  if (data.size() - offset < head) return 0;
  const size_t tail = SubBlocks(data, offset + head);
  return tail ? head + tail : 0;
}

bool IsExtensionSkipped(BlockKind kind) { return kind == BlockKind::Application || kind == BlockKind::Comment; }
bool IsImage(BlockKind kind) { return kind == BlockKind::Image || kind == BlockKind::PlainText; }

}  // namespace

std::optional<Screen> ReadScreen(std::span<const uint8_t> data) {
  if (data.size() < 13 || data[0] != 'G' || data[1] != 'I' || data[2] != 'F') return std::nullopt;
  Screen screen;
  screen.width = Word(data, 6);
  screen.height = Word(data, 8);
  screen.tableSize = ColourTableBytes(data[10]);
  screen.firstBlock = 13 + screen.tableSize;
  return screen;
}

Block BlockAt(std::span<const uint8_t> data, size_t offset) {
  if (offset >= data.size()) return {};
  const uint8_t introducer = data[offset];
  if (introducer == 0x3B) return {BlockKind::Trailer, 1};
  if (introducer == 0x2C) {
    if (data.size() - offset < 10) return {};
    const size_t head = 10 + ColourTableBytes(data[offset + 9]) + 1;
    return {BlockKind::Image, WithSubBlocks(data, offset, head)};
  }
  if (introducer != 0x21 || data.size() - offset < 2) return {};
  switch (data[offset + 1]) {
    case 0xFF: return {BlockKind::Application, WithSubBlocks(data, offset, 14)};
    case 0xFE: return {BlockKind::Comment, WithSubBlocks(data, offset, 2)};
    case 0xF9: return {BlockKind::GraphicControl, data.size() - offset >= 8 ? size_t{8} : 0};
    case 0x01: return {BlockKind::PlainText, WithSubBlocks(data, offset, 15)};
    default: return {};
  }
}

size_t CountImages(std::span<const uint8_t> data, const Screen& screen) {
  size_t count = 0;
  size_t at = screen.firstBlock;
  for (;;) {
    const Block block = BlockAt(data, at);
    if (block.length == 0 || block.kind == BlockKind::Trailer) return count;
    at += block.length;
    if (IsImage(block.kind)) ++count;
  }
}

std::vector<Frame> ExtractFrames(std::span<const uint8_t> data, const Screen& screen) {
  std::vector<Frame> frames;
  size_t at = screen.firstBlock;
  for (;;) {
    Block block = BlockAt(data, at);
    while (block.length && IsExtensionSkipped(block.kind)) {
      at += block.length;
      block = BlockAt(data, at);
    }
    if (block.length == 0 || block.kind == BlockKind::Trailer) return frames;

    Frame frame;
    const size_t start = at;
    if (block.kind == BlockKind::GraphicControl) {
      frame.disposal = (data[at + 3] >> 2) & 7;
      frame.delay = Word(data, at + 4);
      do {
        at += block.length;
        block = BlockAt(data, at);
      } while (block.length && IsExtensionSkipped(block.kind));
    }
    // A control block must lead to an image; anything else ends the frames
    // rather than pairing the control with a later image.
    if (block.length == 0 || !IsImage(block.kind)) return frames;
    // A plain text extension keeps its text grid where an image keeps its
    // rectangle, two bytes further on.
    const size_t geometry = at + (block.kind == BlockKind::Image ? 1 : 3);
    frame.left = Word(data, geometry);
    frame.top = Word(data, geometry + 2);
    frame.width = Word(data, geometry + 4);
    frame.height = Word(data, geometry + 6);
    at += block.length;

    frame.bytes.reserve(screen.firstBlock + (at - start) + 1);
    frame.bytes.assign(data.begin(), data.begin() + screen.firstBlock);
    frame.bytes.insert(frame.bytes.end(), data.begin() + start, data.begin() + at);
    frame.bytes.push_back(0x3B);
    frames.push_back(std::move(frame));
  }
}

}  // namespace orvweb::gif
