// The seam measurement of the engine bench against cuts whose truth is
// known: the signal cut into two files with a known gap or overlap, passed
// through no codec, the lame command line, or the real WMA writer, decoded
// by ffmpeg and placed again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bench/support/seam_align.h"
#include "platform/asf/asf.h"

namespace fs = std::filesystem;

namespace {

enum class Codec { Wav, Mp3, Wma };

class SeamAlignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orvweb-seam-align-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    if (bench::RunCommand("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg not found";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A file holding `lead` zeros, played[from, to), `tail` zeros, in the
  // codec; its decoded mono samples.
  std::vector<float> Through(Codec codec, size_t from, size_t to, size_t lead, size_t tail, const char* name,
                             size_t primeFrames = 2048) {
    std::vector<int16_t> part(lead, 0);
    part.insert(part.end(), played_.begin() + static_cast<std::ptrdiff_t>(from),
                played_.begin() + static_cast<std::ptrdiff_t>(to));
    part.resize(part.size() + tail, 0);
    const std::string wav = (dir_ / (std::string(name) + ".wav")).string();
    std::string file = wav;
    if (codec == Codec::Mp3) {
      bench::WriteStereoWav(wav, part);
      file = (dir_ / (std::string(name) + ".mp3")).string();
      EXPECT_EQ(bench::RunCommand(bench::ShellWords({"lame", "--quiet", "-V", "3", "-b", "128", wav, file})), 0);
    } else if (codec == Codec::Wma) {
      // The writer swallows its first block, so it is fed the audio before
      // the file's first sample, as the engine feeds it at a split.
      const size_t primed = from >= primeFrames ? primeFrames : from;
      std::vector<int16_t> stereo;
      for (size_t i = from - primed; i < to; ++i) stereo.insert(stereo.end(), {played_[i], played_[i]});
      file = (dir_ / (std::string(name) + ".wma")).string();
      fs::remove(file);  // the writer never replaces a file
      auto writer = platform::asf::MakeFfmpegWmaWriter();
      EXPECT_EQ(writer->SetFileName(file), platform::S_OK);
      EXPECT_EQ(writer->Start(platform::audio::WaveFormat{1, 2, bench::kSeamRate, bench::kSeamRate * 4, 4, 16, 0}),
                platform::S_OK);
      // In capture-sized pieces.
      for (size_t at = 0; at < stereo.size(); at += 5000) {
        const size_t n = std::min<size_t>(5000, stereo.size() - at);
        writer->Write(reinterpret_cast<const uint8_t*>(stereo.data() + at), n * 2);
      }
      EXPECT_EQ(writer->Stop(), platform::S_OK);
    } else {
      bench::WriteStereoWav(wav, part);
    }
    auto decoded = bench::DecodeMono(file, (dir_ / "decoded.raw").string());
    EXPECT_TRUE(decoded.has_value()) << file;
    return decoded.value_or(std::vector<float>{});
  }

  fs::path dir_;
  const std::vector<int16_t> played_ = bench::SeamSignal(static_cast<size_t>(8) * bench::kSeamRate);
};

TEST_F(SeamAlignTest, KnownGapsAndOverlapsAreFoundThroughEachCodec) {
  struct Case {
    Codec codec;
    int64_t gap;      // samples: + lost, - doubled
    size_t lead;      // zeros before the second file's audio
    size_t tail;      // zeros after the first file's audio
    int64_t slack;    // how far off the measurement may be
  };
  const Case cases[] = {
      {Codec::Wav, 0, 0, 0, 1},        {Codec::Wav, 441, 0, 0, 1},      {Codec::Wav, -441, 0, 0, 1},
      {Codec::Wav, 7, 1000, 500, 1},   {Codec::Mp3, 0, 0, 0, 22},       {Codec::Mp3, 441, 0, 0, 22},
      {Codec::Mp3, -441, 700, 300, 22}, {Codec::Wma, 0, 0, 0, 44},      {Codec::Wma, 441, 0, 0, 44},
      {Codec::Wma, -441, 0, 0, 44},
  };
  const size_t cut = 3 * bench::kSeamRate + 123;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "codec " << static_cast<int>(c.codec) << " gap " << c.gap);
    const auto a = Through(c.codec, 5000, cut, 0, c.tail, "a");
    const auto b = Through(c.codec, static_cast<size_t>(static_cast<int64_t>(cut) + c.gap), 7 * bench::kSeamRate, c.lead,
                           0, "b");
    const bench::Placed pa = bench::PlaceFile(a, played_);
    const bench::Placed pb = bench::PlaceFile(b, played_);
    ASSERT_TRUE(pa.ok && pb.ok);
    EXPECT_NEAR(static_cast<double>(bench::SeamGap(pa, pb)), static_cast<double>(c.gap), static_cast<double>(c.slack));
    EXPECT_EQ(pa.drift, 0);
    EXPECT_EQ(pb.drift, 0);
    if (c.codec == Codec::Wav) {
      EXPECT_NEAR(static_cast<double>(pa.tailPadding), static_cast<double>(c.tail), 1.0);
      EXPECT_NEAR(static_cast<double>(pb.leadPadding), static_cast<double>(c.lead), 1.0);
    }
  }
}

TEST_F(SeamAlignTest, AnUnprimedWmaFileLosesTheWritersFirstBlock) {
  const size_t start = 2 * bench::kSeamRate;
  const bench::Placed primed = bench::PlaceFile(Through(Codec::Wma, start, 6 * bench::kSeamRate, 0, 0, "p"), played_);
  const bench::Placed bare = bench::PlaceFile(Through(Codec::Wma, start, 6 * bench::kSeamRate, 0, 0, "u", 0), played_);
  ASSERT_TRUE(primed.ok && bare.ok);
  EXPECT_NEAR(static_cast<double>(primed.begin), static_cast<double>(start), 44.0);
  EXPECT_NEAR(static_cast<double>(bare.begin - primed.begin), 2048.0, 44.0);
}

// The writer's frames hold 2048 samples; a song ending late in its last
// frame still ends where its audio does, not a few hundred samples early.
TEST_F(SeamAlignTest, AWmaFileEndsWithItsLastSample) {
  const size_t from = bench::kSeamRate;
  for (const size_t rest : {1, 1000, 1600, 1700, 1800, 1900, 2047}) {
    SCOPED_TRACE(testing::Message() << "samples in the last frame " << rest);
    const size_t to = from + 60 * 2048 + rest;
    const bench::Placed placed = bench::PlaceFile(Through(Codec::Wma, from, to, 0, 0, "end"), played_);
    ASSERT_TRUE(placed.ok);
    EXPECT_NEAR(static_cast<double>(placed.end), static_cast<double>(to), 22.0);
    EXPECT_NEAR(static_cast<double>(placed.begin), static_cast<double>(from), 22.0);
  }
}

TEST_F(SeamAlignTest, AudioFromAnotherSignalIsNotPlaced) {
  const auto other = bench::SeamSignal(static_cast<size_t>(3) * bench::kSeamRate, 99);
  std::vector<float> x(other.begin(), other.end());
  EXPECT_FALSE(bench::PlaceFile(x, played_).ok);
  EXPECT_FALSE(bench::PlaceFile(std::vector<float>(bench::kSeamRate, 0.0f), played_).ok);
}

}  // namespace
