// The longer recording of a song keeps its name, with the real encoders:
// LAME and the WMA writer, lengths measured from the files themselves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/asf/asf.h"
#include "platform/audio/fake_audio.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/engine/recording_engine.h"
#include "test_support.h"
#include "tests/platform/asf/media_tools.h"
#include "tests/recorder/engine/engine_fakes.h"

namespace {

namespace fs = std::filesystem;
using namespace orvweb;

struct Case {
  int format;
  double firstSeconds;
  double secondSeconds;
};

class OverwriteReal : public ::testing::TestWithParam<Case> {};

TEST_P(OverwriteReal, OneFileRemainsAndItIsTheLongerRecording) {
  const Case c = GetParam();
  testing_support::TempDir home;
  testing_support::ScopedEnv homeEnv("HOME", home.path().string());
  testing_support::ScopedEnv configEnv("XDG_CONFIG_HOME", (home.path() / "config").string());
  testing_support::ScopedEnv stateEnv("XDG_STATE_HOME", (home.path() / "state").string());
  const fs::path songs = home.path() / "songs";
  WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");
  WriteProfileString(kKeySourceName, u"rec_sink.monitor");
  WriteProfileInt(kKeyOutputFormat, c.format);
  WriteProfileInt(kKeyMinSongLength, 1);

  platform::audio::FakeAudioSystem audio;
  audio.AddDevice(platform::audio::FakeCaptureDevice::Make("rec_sink.monitor", u"RecSink", 1));
  platform::FakeLoop loop;
  engine_test::TestOwner owner(loop);
  engine_test::ManualClock clock(engine_test::kMarch5th2005);
  CRecordingEngine engine(&owner, EngineServices{&audio, [] { return platform::asf::MakeFfmpegWmaWriter(); }, &clock});
  if (c.format == kOutputFormatMp3 && !engine.encoder().isLoaded()) GTEST_SKIP() << "LAME is not installed";

  auto record = [&](double seconds) {
    ASSERT_EQ(engine.RebuildGraph(0), 0);
    ASSERT_EQ(engine.StartSong(u"Artist", u"Title", u""), 0);
    const auto tone = media_tools::Tone(44100, 2, seconds, 440.0, 0.3);
    ASSERT_TRUE(audio.lastStream()->Deliver(tone));
    clock.Advance(static_cast<int64_t>(seconds * 1000) + 2000);
    ASSERT_EQ(engine.FinishSong(), 0);
  };
  record(c.firstSeconds);
  record(c.secondSeconds);

  const std::vector<fs::path> left(fs::directory_iterator(songs), {});
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].filename().string(), c.format == kOutputFormatMp3 ? "Artist - Title.mp3" : "Artist - Title.wma");
  auto p = media_tools::Probe(left[0]);
  EXPECT_NEAR(std::atof(p["duration"].c_str()), std::max(c.firstSeconds, c.secondSeconds), 0.3);
  EXPECT_EQ(p["TAG:title"], "Title");
  std::string errors;
  EXPECT_TRUE(media_tools::DecodesCleanly(left[0], &errors)) << errors;
}

INSTANTIATE_TEST_SUITE_P(Cases, OverwriteReal,
                         ::testing::Values(Case{kOutputFormatMp3, 3.0, 1.5}, Case{kOutputFormatMp3, 1.5, 3.0},
                                           Case{kOutputFormatWma, 3.0, 1.5}, Case{kOutputFormatWma, 1.5, 3.0}),
                         [](const auto& info) {
                           return std::string(info.param.format == kOutputFormatMp3 ? "Mp3" : "Wma") +
                                  (info.param.secondSeconds > info.param.firstSeconds ? "LongerSecond" : "ShorterSecond");
                         });

}  // namespace
