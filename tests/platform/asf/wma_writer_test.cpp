// The FFmpeg WMA writer against the real encoder and ffprobe/ffmpeg.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media_tools.h"
#include "platform/asf/asf.h"
#include "test_support.h"

namespace {

using platform::FAILED;
using platform::S_OK;
using platform::SUCCEEDED;
using platform::asf::MakeFfmpegWmaWriter;
using platform::audio::WaveFormat;

WaveFormat Pcm16(uint32_t rate, uint16_t channels) {
  WaveFormat f;
  f.channels = channels;
  f.samplesPerSec = rate;
  f.bitsPerSample = 16;
  f.blockAlign = static_cast<uint16_t>(channels * 2);
  f.avgBytesPerSec = rate * f.blockAlign;
  return f;
}

// Feeds pcm in deliveries of varying size, as a capture stream would.
void Feed(platform::asf::WmaWriter& w, const std::vector<int16_t>& pcm, int channels) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(pcm.data());
  const size_t total = pcm.size() * 2;
  const size_t sizes[] = {4096, 10000, 88000, 100, 17640};
  size_t at = 0;
  for (size_t i = 0; at < total; ++i) {
    size_t n = sizes[i % 5] / (channels * 2) * (channels * 2);
    n = std::min(n, total - at);
    w.Write(bytes + at, n);
    at += n;
  }
}

// Decodes the file to 44.1 kHz stereo and returns the left channel.
std::vector<int16_t> DecodeLeft(const std::filesystem::path& file) {
  const auto r = media_tools::Run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f", "s16le",
                                   "-ac", "2", "-ar", "44100", "-"});
  std::vector<int16_t> left;
  for (size_t i = 0; i + 3 < r.out.size(); i += 4) {
    int16_t v;
    std::memcpy(&v, r.out.data() + i, 2);
    left.push_back(v);
  }
  return left;
}

// Frequency of the loud middle part of a signal, from its rising zero crossings.
double Frequency(const std::vector<int16_t>& s, int rate) {
  const size_t from = s.size() / 4, to = s.size() * 3 / 4;
  int crossings = 0;
  for (size_t i = from + 1; i < to; ++i) crossings += (s[i - 1] < 0 && s[i] >= 0);
  return crossings * static_cast<double>(rate) / static_cast<double>(to - from);
}

struct FormatCase {
  uint32_t rate;
  uint16_t channels;
};

class WmaFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(WmaFormats, AnyCaptureFormatBecomesWmav2At44100StereoWithItsTags) {
  const FormatCase c = GetParam();
  testing_support::TempDir dir;
  const auto file = dir.path() / "song.wma";
  auto writer = MakeFfmpegWmaWriter();
  ASSERT_EQ(writer->SetFileName(file.string()), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Description", u"Recorded by the test"), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Author", u"Some Artist"), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Title", u"Some Title"), S_OK);
  ASSERT_EQ(writer->Start(Pcm16(c.rate, c.channels)), S_OK);
  const double seconds = 2.5;
  Feed(*writer, media_tools::Tone(static_cast<int>(c.rate), c.channels, seconds, 1000.0, 0.5), c.channels);
  ASSERT_EQ(writer->Stop(), S_OK);

  auto p = media_tools::Probe(file);
  EXPECT_EQ(p["format_name"], "asf");
  EXPECT_EQ(p["codec_name"], "wmav2");
  EXPECT_EQ(p["sample_rate"], "44100");
  EXPECT_EQ(p["channels"], "2");
  EXPECT_NEAR(std::atof(p["duration"].c_str()), seconds, 0.1);
  EXPECT_EQ(p["TAG:title"], "Some Title");
  EXPECT_EQ(p["TAG:artist"], "Some Artist");
  EXPECT_EQ(p["TAG:comment"], "Recorded by the test");
  std::string errors;
  EXPECT_TRUE(media_tools::DecodesCleanly(file, &errors)) << errors;

  // Resampled, not just relabelled: the tone keeps its pitch and level.
  const auto left = DecodeLeft(file);
  EXPECT_NEAR(Frequency(left, 44100), 1000.0, 20.0);
  int peak = 0;
  for (size_t i = left.size() / 4; i < left.size() * 3 / 4; ++i) peak = std::max(peak, std::abs(int{left[i]}));
  EXPECT_NEAR(peak, 16384, 2500);
}

INSTANTIATE_TEST_SUITE_P(Formats, WmaFormats,
                         ::testing::Values(FormatCase{44100, 2}, FormatCase{48000, 2}, FormatCase{22050, 1},
                                           FormatCase{96000, 2}, FormatCase{8000, 1}),
                         [](const auto& info) {
                           return std::to_string(info.param.rate) + "Hz" + std::to_string(info.param.channels) + "ch";
                         });

TEST(WmaWriter, NonAsciiNamesAndAttributesSurvive) {
  testing_support::TempDir dir;
  const auto file = dir.path() / u8"Björk – Jóga: 東京 ♫.wma";
  auto writer = MakeFfmpegWmaWriter();
  ASSERT_EQ(writer->SetFileName(reinterpret_cast<const char*>(file.u8string().c_str())), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Description", u"Recorded by ünïcødé"), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Author", u"Björk 東京"), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Title", u"Jóga ♫ 𝄞"), S_OK);
  ASSERT_EQ(writer->Start(Pcm16(44100, 2)), S_OK);
  Feed(*writer, media_tools::Tone(44100, 2, 1.0, 440.0, 0.3), 2);
  ASSERT_EQ(writer->Stop(), S_OK);

  ASSERT_TRUE(std::filesystem::exists(file));
  auto p = media_tools::Probe(file);
  EXPECT_EQ(p["codec_name"], "wmav2");
  EXPECT_EQ(p["TAG:artist"], "Björk 東京");
  EXPECT_EQ(p["TAG:title"], "Jóga ♫ 𝄞");
  EXPECT_EQ(p["TAG:comment"], "Recorded by ünïcødé");
}

TEST(WmaWriter, EachRunNeedsItsOwnNameAndAttributes) {
  testing_support::TempDir dir;
  const auto first = dir.path() / "first.wma";
  const auto second = dir.path() / "second.wma";
  auto writer = MakeFfmpegWmaWriter();
  ASSERT_EQ(writer->SetFileName(first.string()), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Title", u"First"), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Author", u"Someone"), S_OK);
  ASSERT_EQ(writer->Start(Pcm16(44100, 2)), S_OK);
  EXPECT_TRUE(FAILED(writer->Start(Pcm16(44100, 2))));  // already running
  Feed(*writer, media_tools::Tone(44100, 2, 1.0, 440.0, 0.3), 2);
  ASSERT_EQ(writer->Stop(), S_OK);
  const auto firstSize = std::filesystem::file_size(first);

  // Without a new name the finished song is not overwritten.
  EXPECT_TRUE(FAILED(writer->Start(Pcm16(44100, 2))));
  EXPECT_EQ(std::filesystem::file_size(first), firstSize);

  // A song without artist and title carries only its description.
  ASSERT_EQ(writer->SetFileName(second.string()), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Description", u"Only this"), S_OK);
  ASSERT_EQ(writer->Start(Pcm16(44100, 2)), S_OK);
  Feed(*writer, media_tools::Tone(44100, 2, 1.0, 440.0, 0.3), 2);
  ASSERT_EQ(writer->Stop(), S_OK);
  auto p = media_tools::Probe(second);
  EXPECT_EQ(p["TAG:comment"], "Only this");
  EXPECT_EQ(p.count("TAG:title"), 0u);
  EXPECT_EQ(p.count("TAG:artist"), 0u);
}

TEST(WmaWriter, RefusesWhatItCannotWrite) {
  testing_support::TempDir dir;
  auto writer = MakeFfmpegWmaWriter();
  EXPECT_EQ(writer->Stop(), S_OK);  // never started
  EXPECT_TRUE(FAILED(writer->Start(Pcm16(44100, 2))));  // no name
  EXPECT_TRUE(FAILED(writer->SetFileName("")));

  ASSERT_EQ(writer->SetFileName((dir.path() / "a.wma").string()), S_OK);
  WaveFormat eightBit = Pcm16(44100, 2);
  eightBit.bitsPerSample = 8;
  EXPECT_TRUE(FAILED(writer->Start(eightBit)));

  const auto missing = dir.path() / "no-such-folder" / "b.wma";
  ASSERT_EQ(writer->SetFileName(missing.string()), S_OK);
  EXPECT_TRUE(FAILED(writer->Start(Pcm16(44100, 2))));
  EXPECT_FALSE(std::filesystem::exists(missing));
  writer->Write(nullptr, 0);  // not running: ignored
  EXPECT_EQ(writer->Stop(), S_OK);
}

TEST(WmaWriter, AnUnfedRunStillLeavesAValidFile) {
  testing_support::TempDir dir;
  const auto file = dir.path() / "empty.wma";
  auto writer = MakeFfmpegWmaWriter();
  ASSERT_EQ(writer->SetFileName(file.string()), S_OK);
  ASSERT_EQ(writer->Start(Pcm16(48000, 2)), S_OK);
  ASSERT_EQ(writer->Stop(), S_OK);
  auto p = media_tools::Probe(file);
  EXPECT_EQ(p["codec_name"], "wmav2");
  std::string errors;
  EXPECT_TRUE(media_tools::DecodesCleanly(file, &errors)) << errors;
}

}  // namespace
