// The MP3 repair against what the real LAME writes: a finished song's
// VBR/Info frame is rebuilt from a scan of its frames to the encoder's own
// counts, whether the frame was blanked (a crash) or left whole.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/lame/lame.h"
#include "platform/lame/mp3_file.h"
#include "recorder/engine/mp3_encoder.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace orvweb;

namespace {

std::string Contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Put(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

uint32_t Be32(const std::string& b, size_t at) {
  return (uint32_t{static_cast<uint8_t>(b[at])} << 24) | (uint32_t{static_cast<uint8_t>(b[at + 1])} << 16) |
         (uint32_t{static_cast<uint8_t>(b[at + 2])} << 8) | static_cast<uint8_t>(b[at + 3]);
}

// A finished LAME song of `seconds` (440 Hz, or silence) and where its info tag sits.
struct Song {
  std::string bytes;
  size_t frameStart = 0;
  size_t tag = 0;  // "Xing"/"Info"
};

Song Encode(const fs::path& file, int channels, double seconds, bool silent) {
  CMp3Encoder encoder;
  if (!encoder.isLoaded()) return {};
  const platform::audio::WaveFormat format{1, static_cast<uint16_t>(channels), 44100,
                                           static_cast<uint32_t>(44100 * 2 * channels),
                                           static_cast<uint16_t>(2 * channels), 16, 0};
  if (encoder.OpenStream(format, file.string()) != 0) return {};
  std::vector<int16_t> pcm(static_cast<size_t>(44100 * seconds) * channels);
  for (size_t i = 0; i < pcm.size(); ++i) {
    pcm[i] = silent ? 0 : static_cast<int16_t>(9000 * std::sin(2 * M_PI * 440.0 * (i / channels) / 44100.0));
  }
  encoder.EncodeSamples(reinterpret_cast<const uint8_t*>(pcm.data()), static_cast<uint32_t>(pcm.size()));
  encoder.CloseStream();
  Song song;
  song.bytes = Contents(file);
  song.frameStart = platform::lame::ScanMp3File(file.string())->streamStart;
  const size_t side = channels == 2 ? 32 : 17;
  song.tag = song.frameStart + 4 + side;
  return song;
}

struct Case {
  const char* name;
  int channels;
  double seconds;
  bool silent;
  bool blank;  // the frame behind the header zeroed, as a crash leaves it
};

class Mp3Repair : public ::testing::TestWithParam<Case> {};

TEST_P(Mp3Repair, TheRebuiltInfoFrameCountsWhatTheEncoderCounted) {
  const Case c = GetParam();
  testing_support::TempDir dir;
  const fs::path file = dir.path() / "song.mp3";
  const Song song = Encode(file, c.channels, c.seconds, c.silent);
  if (song.bytes.empty()) GTEST_SKIP() << "LAME is not installed";
  ASSERT_TRUE(std::memcmp(&song.bytes[song.tag], "Xing", 4) == 0 || std::memcmp(&song.bytes[song.tag], "Info", 4) == 0);

  std::string damaged = song.bytes;
  const uint32_t frameBytes = static_cast<uint32_t>(platform::lame::ScanMp3File(file.string())->infoFrameBytes);
  if (c.blank) {
    std::memset(&damaged[song.frameStart + 4], 0, frameBytes - 4);
  } else {
    std::memset(&damaged[song.tag + 8], 0, 108);  // counts and seek table lost
  }
  // A crash may also cut the last frame short.
  damaged.resize(damaged.size() - 100);
  Put(file, damaged);
  ASSERT_TRUE(platform::lame::RepairMp3VbrHeader(file.string()));
  const std::string repaired = Contents(file);

  const auto scan = platform::lame::ScanMp3File(file.string());
  ASSERT_TRUE(scan);
  EXPECT_FALSE(scan->infoFrameBlank);
  EXPECT_EQ(repaired.size(), scan->streamEnd);  // the cut frame is gone
  // LAME counted one frame more (the one now cut) and its bytes.
  const size_t lost = song.bytes.size() - repaired.size();
  EXPECT_EQ(Be32(repaired, song.tag + 8) + 1, Be32(song.bytes, song.tag + 8));
  EXPECT_EQ(Be32(repaired, song.tag + 12) + lost, Be32(song.bytes, song.tag + 12));
  for (size_t i = 0; i < 100; ++i) {
    EXPECT_NEAR(static_cast<uint8_t>(repaired[song.tag + 16 + i]), static_cast<uint8_t>(song.bytes[song.tag + 16 + i]), 3)
        << "seek table entry " << i;
  }
  if (!c.blank) {
    // The encoder's own extension (delay, padding) stays, its checksum fits again.
    EXPECT_EQ(repaired.substr(song.tag + 120, 28), song.bytes.substr(song.tag + 120, 28));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Mp3Repair,
                         ::testing::Values(Case{"StereoBlank", 2, 6.0, false, true},
                                           Case{"StereoCountsLost", 2, 6.0, false, false},
                                           Case{"MonoBlank", 1, 3.0, false, true},
                                           Case{"SilenceBlank", 2, 3.0, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Mp3Scan, WhatHoldsNoFramesIsNotRepaired) {
  testing_support::TempDir dir;
  const fs::path file = dir.path() / "x.mp3";
  for (const std::string& bytes : {std::string(), std::string(5000, '\0'), std::string("ID3\x03\0\0\0\0\0\x10", 10) + "junk"}) {
    Put(file, bytes);
    EXPECT_FALSE(platform::lame::RepairMp3VbrHeader(file.string()));
    EXPECT_EQ(Contents(file), bytes);
    EXPECT_FALSE(platform::lame::Mp3DurationMs(file.string()));
  }
}

}  // namespace
