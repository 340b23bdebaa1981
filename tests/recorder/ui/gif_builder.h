#pragma once
// Builds GIF files block by block for the tests, with real LZW image data
// so that a picture loader decodes them.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace gif_test {

using Bytes = std::vector<uint8_t>;

inline void PutWord(Bytes& out, unsigned value) {
  out.push_back(value & 0xFF);
  out.push_back((value >> 8) & 0xFF);
}

inline void PutSubBlocks(Bytes& out, const Bytes& data) {
  for (size_t at = 0; at < data.size(); at += 255) {
    const size_t n = std::min<size_t>(255, data.size() - at);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), data.begin() + at, data.begin() + at + n);
  }
  out.push_back(0);
}

// Header and logical screen with a 4-colour global table (3 x 2^2 = 12 bytes).
struct Palette {
  uint32_t colours[4] = {0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF};
};

inline Bytes Header(unsigned width, unsigned height, bool globalTable = true, const Palette& palette = {}) {
  Bytes out = {'G', 'I', 'F', '8', '9', 'a'};
  PutWord(out, width);
  PutWord(out, height);
  out.push_back(globalTable ? 0x81 : 0x00);  // table of 2^(1+1) colours
  out.push_back(0);
  out.push_back(0);
  if (globalTable) {
    for (uint32_t c : palette.colours) {
      out.push_back((c >> 16) & 0xFF);
      out.push_back((c >> 8) & 0xFF);
      out.push_back(c & 0xFF);
    }
  }
  return out;
}

inline Bytes GraphicControl(unsigned delay, unsigned disposal) {
  Bytes out = {0x21, 0xF9, 0x04, static_cast<uint8_t>((disposal & 7) << 2)};
  PutWord(out, delay);
  out.push_back(0);
  out.push_back(0);
  return out;
}

inline Bytes Application() {
  Bytes out = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
  PutSubBlocks(out, {0x01, 0x00, 0x00});
  return out;
}

inline Bytes Comment(const std::string& text) {
  Bytes out = {0x21, 0xFE};
  PutSubBlocks(out, Bytes(text.begin(), text.end()));
  return out;
}

inline Bytes PlainText(unsigned left, unsigned top) {
  Bytes out = {0x21, 0x01, 0x0C};
  PutWord(out, left);
  PutWord(out, top);
  PutWord(out, 8);
  PutWord(out, 8);
  for (uint8_t b : {8, 8, 1, 0}) out.push_back(b);
  PutSubBlocks(out, {'h', 'i'});
  return out;
}

// LZW data of a width x height image in one colour index (0-3), minimum
// code size 2: a clear code before every second pixel keeps codes 3 bits wide.
inline Bytes SolidPixels(unsigned width, unsigned height, unsigned index) {
  Bytes out;
  uint32_t bits = 0;
  int count = 0;
  auto code = [&](unsigned c) {
    bits |= c << count;
    count += 3;
    while (count >= 8) {
      out.push_back(bits & 0xFF);
      bits >>= 8;
      count -= 8;
    }
  };
  const unsigned pixels = width * height;
  for (unsigned i = 0; i < pixels; ++i) {
    if (i % 2 == 0) code(4);
    code(index);
  }
  code(5);
  if (count > 0) out.push_back(bits & 0xFF);
  return out;
}

inline Bytes Image(unsigned left, unsigned top, unsigned width, unsigned height, unsigned index,
                   bool localTable = false) {
  Bytes out = {0x2C};
  PutWord(out, left);
  PutWord(out, top);
  PutWord(out, width);
  PutWord(out, height);
  out.push_back(localTable ? 0x81 : 0x00);
  if (localTable) {
    for (int i = 0; i < 12; ++i) out.push_back(static_cast<uint8_t>(0x40 + i));
  }
  out.push_back(2);
  PutSubBlocks(out, SolidPixels(width, height, index));
  return out;
}

inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline const Bytes kTrailer = {0x3B};

}  // namespace gif_test
