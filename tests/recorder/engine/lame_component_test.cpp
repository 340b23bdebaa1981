// The real LAME library through the encoder, checked with ffprobe and by
// reading the MPEG frame headers. Binding the library is tested with
// platform/lame.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "engine_fakes.h"
#include "platform/audio/fake_audio.h"
#include "platform/id3/id3_tag.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/engine/recording_engine.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace orvweb;
using platform::id3::WriteSongTag;

namespace {

std::string Contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// key=value lines of ffprobe about the file.
std::map<std::string, std::string> Probe(const fs::path& file) {
  const std::string command =
      "ffprobe -v error -count_frames -show_entries "
      "stream=codec_name,sample_rate,channels,nb_read_frames:format=duration:format_tags=artist,title,comment "
      "-of default=nw=1 " +
      Quote(file.string());
  std::map<std::string, std::string> values;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return values;
  std::string output;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  ::pclose(pipe);
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

struct Frame {
  int version;  // 3 = MPEG-1
  int layer;    // 1 = layer III
  int kbps;
  int mode;  // 1 = joint stereo
  size_t offset;
};

struct Mp3Layout {
  std::vector<Frame> frames;  // every frame, the Xing frame first
  std::string xingTag;        // "Xing" (VBR) or "Info" (CBR)
  uint32_t xingFrames = 0;
  bool endsWithId3v1 = false;
};

Mp3Layout ReadLayout(const std::string& d) {
  static const int kKbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  Mp3Layout layout;
  auto u8 = [&](size_t i) { return static_cast<unsigned char>(d[i]); };
  size_t i = 0;
  if (d.compare(0, 3, "ID3") == 0) i = 10 + ((u8(6) << 21) | (u8(7) << 14) | (u8(8) << 7) | u8(9));
  while (i + 4 <= d.size() && u8(i) == 0xFF && (u8(i + 1) & 0xE0) == 0xE0) {
    Frame f{(u8(i + 1) >> 3) & 3, (u8(i + 1) >> 1) & 3, kKbps[u8(i + 2) >> 4], u8(i + 3) >> 6, i};
    if (f.kbps == 0) break;
    layout.frames.push_back(f);
    i += 144 * f.kbps * 1000 / 44100 + ((u8(i + 2) >> 1) & 1);
  }
  layout.endsWithId3v1 = d.size() >= 128 && i == d.size() - 128 && d.compare(i, 3, "TAG") == 0;
  if (!layout.frames.empty()) {
    const size_t x = layout.frames[0].offset + 4 + (layout.frames[0].mode == 3 ? 17 : 32);
    layout.xingTag = d.substr(x, 4);
    if (u8(x + 7) & 1) layout.xingFrames = (u8(x + 8) << 24) | (u8(x + 9) << 16) | (u8(x + 10) << 8) | u8(x + 11);
  }
  return layout;
}

// Two tones with a little noise: music-like enough for VBR to vary.
std::vector<int16_t> Tones(double seconds) {
  std::vector<int16_t> pcm(static_cast<size_t>(seconds * 44100) * 2);
  uint32_t seed = 1;
  for (size_t i = 0; i < pcm.size() / 2; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double noise = ((seed >> 16) & 0xFFFF) / 65536.0 - 0.5;
    const double t = i / 44100.0;
    pcm[2 * i] = static_cast<int16_t>(12000 * std::sin(2 * M_PI * 440 * t) + 3000 * noise);
    pcm[2 * i + 1] = static_cast<int16_t>(12000 * std::sin(2 * M_PI * 660 * t) - 3000 * noise);
  }
  return pcm;
}

void ExpectSongFile(const fs::path& file, double seconds, const std::string& artist, const std::string& title) {
  const Mp3Layout layout = ReadLayout(Contents(file));
  ASSERT_GT(layout.frames.size(), 10u);
  std::set<int> rates;
  for (size_t i = 0; i < layout.frames.size(); ++i) {
    const Frame& f = layout.frames[i];
    EXPECT_EQ(f.version, 3) << "frame " << i;  // MPEG-1
    EXPECT_EQ(f.layer, 1) << "frame " << i;    // layer III
    EXPECT_EQ(f.mode, 1) << "frame " << i;     // joint stereo
    EXPECT_GE(f.kbps, 128) << "frame " << i << " of " << layout.frames.size();
    rates.insert(f.kbps);
  }
  EXPECT_GT(rates.size(), 1u) << "constant bit rate";
  EXPECT_EQ(layout.xingTag, "Xing");
  EXPECT_EQ(layout.xingFrames, layout.frames.size() - 1);  // the audio frames after the header frame
  EXPECT_TRUE(layout.endsWithId3v1);

  auto probe = Probe(file);
  EXPECT_EQ(probe["codec_name"], "mp3");
  EXPECT_EQ(probe["sample_rate"], "44100");
  EXPECT_EQ(probe["channels"], "2");
  EXPECT_EQ(probe["nb_read_frames"], std::to_string(layout.xingFrames));
  EXPECT_NEAR(std::stod(probe["duration"].empty() ? "0" : probe["duration"]), seconds, 0.3);
  // Compared whole; long texts are not printed.
  EXPECT_TRUE(probe["TAG:artist"] == artist) << probe["TAG:artist"].size() << " bytes of artist";
  EXPECT_TRUE(probe["TAG:title"] == title) << probe["TAG:title"].size() << " bytes of title";
  EXPECT_EQ(probe["TAG:comment"], platform::ToUtf8(SongComment()));
}

TEST(RealLame, EncodesVbrMp3WithXingHeaderAndExactTags) {
  testing_support::TempDir dir;
  CMp3Encoder encoder;
  ASSERT_TRUE(encoder.isLoaded());
  EXPECT_EQ(encoder.GetVersion().first, 3);
  const fs::path file = dir.path() / "Bj\xC3\xB6rk & \xD0\x94\xD0\xBE\xD0\xBC - \xE3\x82\xBF C .mp3";
  ASSERT_EQ(encoder.OpenStream(platform::audio::MakePcmFormat(2, 44100), file.string()), 0u);
  EXPECT_EQ(encoder.chunkSize(), 2304u);
  const auto pcm = Tones(10);
  // Capture-sized deliveries, one of them exactly a chunk.
  size_t at = 0;
  for (size_t size : {size_t{2304}, size_t{4410}}) {
    encoder.EncodeSamples(reinterpret_cast<const uint8_t*>(pcm.data() + at), static_cast<uint32_t>(size));
    at += size;
  }
  while (at < pcm.size()) {
    const size_t size = std::min<size_t>(4410, pcm.size() - at);
    encoder.EncodeSamples(reinterpret_cast<const uint8_t*>(pcm.data() + at), static_cast<uint32_t>(size));
    at += size;
  }
  ASSERT_EQ(encoder.CloseStream(), 0u);
  const std::u16string artist = u"Bj\u00F6rk & \u0414\u043E\u043C";
  const std::u16string title = u"\u30BF C?";
  ASSERT_TRUE(WriteSongTag(file.string(), artist, title, SongComment()));
  ExpectSongFile(file, 10.0, platform::ToUtf8(artist), platform::ToUtf8(title));
}

TEST(RealLame, MonoCaptureGivesMonoFrames) {
  testing_support::TempDir dir;
  CMp3Encoder encoder;
  const fs::path file = dir.path() / "mono.mp3";
  ASSERT_EQ(encoder.OpenStream(platform::audio::MakePcmFormat(1, 44100), file.string()), 0u);
  EXPECT_EQ(encoder.chunkSize(), 1152u);
  const auto pcm = Tones(2);
  encoder.EncodeSamples(reinterpret_cast<const uint8_t*>(pcm.data()), static_cast<uint32_t>(pcm.size()));
  ASSERT_EQ(encoder.CloseStream(), 0u);
  const Mp3Layout layout = ReadLayout(Contents(file));
  ASSERT_FALSE(layout.frames.empty());
  for (const Frame& f : layout.frames) EXPECT_EQ(f.mode, 3);
  EXPECT_EQ(layout.xingFrames, layout.frames.size() - 1);
}

TEST(RealLame, ALongTagThatDoesNotFitTheRoomRewritesTheFile) {
  testing_support::TempDir dir;
  CMp3Encoder encoder;
  const fs::path file = dir.path() / "long.mp3";
  ASSERT_EQ(encoder.OpenStream(platform::audio::MakePcmFormat(2, 44100), file.string()), 0u);
  const auto pcm = Tones(3);
  encoder.EncodeSamples(reinterpret_cast<const uint8_t*>(pcm.data()), static_cast<uint32_t>(pcm.size()));
  ASSERT_EQ(encoder.CloseStream(), 0u);
  const std::u16string title(3000, u'\u00DF');  // Latin-1, 3000 bytes
  const std::u16string artist(1500, u'\u0416');  // UTF-16, 3000 bytes
  ASSERT_TRUE(WriteSongTag(file.string(), artist, title, SongComment()));
  ASSERT_TRUE(WriteSongTag(file.string(), artist, title, SongComment()));  // replaces, never stacks
  ExpectSongFile(file, 3.0, platform::ToUtf8(artist), platform::ToUtf8(title));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(RealLame, OutputFormatAsksTheLibraryOnceTheProbeIsInstalled) {
  testing_support::TempDir home;
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", home.path().string()};
  SetOutputFormat(kOutputFormatMp3);
  SetMp3EncoderProbe(nullptr);
  EXPECT_EQ(GetOutputFormat(), kOutputFormatWma);
  InstallMp3EncoderProbe();
  EXPECT_EQ(GetOutputFormat(), kOutputFormatMp3);
}

// The whole song path with the real encoder: a non-ASCII song through the
// engine into a tagged file under its UTF-8 name.
TEST(RealLame, EngineRecordsATaggedSongUnderItsUnicodeName) {
  testing_support::TempDir home;
  testing_support::ScopedEnv homeEnv{"HOME", home.path().string()};
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", (home.path() / "config").string()};
  const fs::path songs = home.path() / "Songs \xE2\x99\xAB";
  WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");
  WriteProfileString(kKeySourceName, u"mic");
  WriteProfileInt(kKeyOutputFormat, kOutputFormatMp3);

  platform::FakeLoop loop;
  engine_test::TestOwner owner(loop);
  platform::audio::FakeAudioSystem audio;
  audio.AddDevice(platform::audio::FakeCaptureDevice::Make("mic", u"Mic", 1));
  engine_test::ManualClock clock(engine_test::kMarch5th2005);
  CRecordingEngine engine(&owner, EngineServices{&audio, nullptr, &clock});
  ASSERT_EQ(engine.BuildGraph(0), 0);
  const std::u16string artist = u"Sigur R\u00F3s";
  const std::u16string title = u"\u00C1g\u00E6tis byrjun: \u6B4C?";
  ASSERT_EQ(engine.StartSong(artist, title, u""), 0);
  const auto pcm = Tones(4);
  for (size_t at = 0; at < pcm.size(); at += 2500) {
    ASSERT_TRUE(audio.lastStream()->Deliver(reinterpret_cast<const uint8_t*>(pcm.data() + at),
                                            std::min<size_t>(2500, pcm.size() - at) * 2));
  }
  clock.Advance(41'000);
  ASSERT_EQ(engine.FinishSong(), 0);
  const fs::path file = songs / "Sigur R\xC3\xB3s - \xC3\x81g\xC3\xA6tis byrjun  \xE6\xAD\x8C .mp3";
  ASSERT_TRUE(fs::exists(file));
  ExpectSongFile(file, 4.0, platform::ToUtf8(artist), platform::ToUtf8(title));
}

}  // namespace
