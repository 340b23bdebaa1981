// The look-back inside the engine, with the capture, encoder and WMA writer
// fakes: the setting, "SplitSearch" 0 as the plain split, splits that put
// each song's audio into its own file (the fake writer keeps raw PCM, so a
// file's bytes show exactly where it was cut), the priming of a new WMA
// file, and the drain on every finish that is not a song change.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <numeric>
#include <optional>

#include "platform/asf/fake_asf.h"
#include "platform/audio/fake_audio.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/engine/recording_engine.h"
#include "recorder/engine/split_feed.h"
#include "test_support.h"
#include "tests/recorder/engine/engine_fakes.h"

namespace fs = std::filesystem;
using namespace orvweb;
using engine_test::FakeLame;
using engine_test::kMarch5th2005;
using engine_test::ManualClock;
using engine_test::TestOwner;

namespace {

constexpr size_t kRate = 44100;
constexpr size_t kBuffer = 441;  // frames per delivery: 10 ms

std::vector<int16_t> Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<int16_t> values(bytes.size() / 2);
  std::memcpy(values.data(), bytes.data(), values.size() * 2);
  return values;
}

// Songs of distinct tones separated by 200 ms gaps (stereo), and where each
// gap's middle lies.
struct Program {
  std::vector<int16_t> pcm;
  std::vector<size_t> seams;
  size_t frames() const { return pcm.size() / 2; }
};

Program Songs(const std::vector<double>& seconds, double gap = 0.2) {
  Program p;
  for (size_t s = 0; s < seconds.size(); ++s) {
    const double hz = 350.0 + 200.0 * static_cast<double>(s);
    const auto n = static_cast<size_t>(seconds[s] * kRate);
    for (size_t i = 0; i < n; ++i) {
      const auto v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * hz * static_cast<double>(i) / kRate));
      p.pcm.push_back(v);
      p.pcm.push_back(static_cast<int16_t>(-v));
    }
    if (s + 1 == seconds.size()) break;
    const auto g = static_cast<size_t>(gap * kRate);
    p.seams.push_back(p.frames() + g / 2);
    p.pcm.insert(p.pcm.end(), 2 * g, 0);
  }
  return p;
}

class SplitEngine : public ::testing::Test {
 protected:
  SplitEngine() {
    songs = home.path() / "songs";
    WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");
    WriteProfileString(kKeySourceName, u"rec_sink.monitor");
    WriteProfileInt(kKeyMinSongLength, 0);
    audio.AddDevice(platform::audio::FakeCaptureDevice::Make("rec_sink.monitor", u"RecSink", 1));
  }

  std::unique_ptr<CRecordingEngine> Make() {
    return std::make_unique<CRecordingEngine>(&owner,
                                              EngineServices{&audio,
                                                             [this] {
                                                               writer = std::make_shared<platform::asf::FakeWmaWriter>();
                                                               return writer;
                                                             },
                                                             &clock},
                                              lame.Table());
  }

  // Delivers frames [from, to) of the program in 10 ms buffers, the clock
  // following, and serves the window's messages after each.
  void Play(const Program& p, size_t from, size_t to) {
    for (size_t at = from; at < to; at += kBuffer) {
      const size_t n = std::min(kBuffer, to - at);
      ASSERT_TRUE(audio.lastStream()->Deliver(reinterpret_cast<const uint8_t*>(p.pcm.data() + 2 * at), n * 4));
      clock.Advance(10);
      loop.RunPending();
    }
  }

  fs::path Song(const std::string& name) { return songs / name; }

  testing_support::TempDir home;
  testing_support::ScopedEnv homeEnv{"HOME", home.path().string()};
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", (home.path() / "config").string()};
  testing_support::ScopedEnv stateEnv{"XDG_STATE_HOME", (home.path() / "state").string()};
  fs::path songs;
  platform::FakeLoop loop;
  TestOwner owner{loop};
  ManualClock clock{kMarch5th2005};
  platform::audio::FakeAudioSystem audio;
  std::shared_ptr<platform::asf::FakeWmaWriter> writer;
  FakeLame lame;
};

TEST_F(SplitEngine, TheSettingAndTheCaptureFormatDecideTheLookBack) {
  struct Case {
    const char* what;
    std::function<void()> store;
    int expectedMs;
    platform::audio::WaveFormat format;
    int monitorOnly;
    bool active;
  };
  const auto pcm16 = platform::audio::MakePcmFormat(2, 44100);
  const std::vector<Case> cases = {
      {"unset", [] {}, 3000, pcm16, 0, true},
      {"0", [] { WriteProfileInt(kKeySplitSearch, 0); }, 0, pcm16, 0, false},
      {"10000", [] { WriteProfileInt(kKeySplitSearch, 10000); }, 10000, pcm16, 0, true},
      {"10001", [] { WriteProfileInt(kKeySplitSearch, 10001); }, 3000, pcm16, 0, true},
      {"-1", [] { WriteProfileInt(kKeySplitSearch, -1); }, 3000, pcm16, 0, true},
      {"not a number", [] { WriteProfileString(kKeySplitSearch, u"fast"); }, 3000, pcm16, 0, true},
      {"24-bit capture", [] {}, 3000, platform::audio::MakePcmFormat(2, 44100, 24), 0, false},
      {"monitoring", [] {}, 3000, pcm16, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteProfileString(kKeySplitSearch, u"");  // a string: the default
    c.store();
    EXPECT_EQ(GetSplitSearchMs(), c.expectedMs);
    audio.format = c.format;
    auto engine = Make();
    ASSERT_EQ(engine->BuildGraph(c.monitorOnly), 0);
    EXPECT_EQ(engine->lookBackActive(), c.active);
  }
}

// What the encoder and the writer were handed, per song file.
struct Trace {
  std::vector<std::string> calls;
  std::vector<uint32_t> counts;
  std::vector<uintmax_t> sizes;
};

TEST_F(SplitEngine, ZeroSplitsExactlyAsFinishThenStart) {
  WriteProfileInt(kKeySplitSearch, 0);
  const Program p = Songs({2.0, 2.0});
  for (const int format : {kOutputFormatMp3, kOutputFormatWma}) {
    SCOPED_TRACE(format);
    WriteProfileInt(kKeyOutputFormat, format);
    auto run = [&](bool split, const std::string& prefix) {
      {
        std::lock_guard lock(lame.mutex);
        lame.calls.clear();
        lame.encodeCounts.clear();
      }
      auto engine = Make();
      EXPECT_EQ(engine->BuildGraph(0), 0);
      EXPECT_EQ(engine->StartSong(platform::FromUtf8(prefix), u"1", u""), 0);
      Play(p, 0, p.seams[0] + 17);
      const HRESULT hr = split ? engine->SplitSong(platform::FromUtf8(prefix), u"2", u"")
                               : (engine->FinishSong(), engine->StartSong(platform::FromUtf8(prefix), u"2", u""));
      EXPECT_EQ(hr, 0);
      Play(p, p.seams[0] + 17, p.frames());
      engine->FinishSong();
      Trace t{lame.Calls(), lame.EncodeCounts(), {}};
      const std::string ext = format == kOutputFormatMp3 ? ".mp3" : ".wma";
      for (const char* n : {" - 1", " - 2"}) t.sizes.push_back(fs::file_size(Song(prefix + n + ext)));
      return t;
    };
    const Trace split = run(true, "Split");
    const Trace plain = run(false, "Plain");
    EXPECT_EQ(split.calls, plain.calls);
    EXPECT_EQ(split.counts, plain.counts);
    EXPECT_EQ(split.sizes, plain.sizes);
  }
}

TEST_F(SplitEngine, EachWmaFileHoldsItsOwnSongPrimedWithTheAudioBeforeIt) {
  WriteProfileInt(kKeyOutputFormat, kOutputFormatWma);
  struct Case {
    double lag;
    std::vector<double> seconds;
  };
  // The last case has a song shorter than the window.
  // -2.8 s: the title comes well before the boundary, which the split waits
  // for; with -1.6 s and a 1 s song the next title comes while it waits.
  for (const Case& c : {Case{0.4, {5, 5, 5}}, Case{-0.3, {5, 5, 5}}, Case{-2.8, {5, 5, 5}}, Case{0.8, {5, 5, 1.2, 5}},
                        Case{-1.6, {5, 5, 5, 1.0, 5}}}) {
    SCOPED_TRACE(c.lag);
    fs::remove_all(songs);
    const Program p = Songs(c.seconds);
    auto engine = Make();
    ASSERT_EQ(engine->BuildGraph(0), 0);
    ASSERT_EQ(engine->StartSong(u"A", u"0", u""), 0);
    ASSERT_TRUE(engine->lookBackActive());
    size_t at = 0;
    for (size_t i = 0; i < p.seams.size(); ++i) {
      const auto arrival = static_cast<size_t>(static_cast<double>(p.seams[i]) + c.lag * kRate);
      Play(p, at, arrival);
      at = arrival;
      ASSERT_EQ(engine->SplitSong(u"A", platform::FromUtf8(std::to_string(i + 1)), u""), 0);
    }
    Play(p, at, p.frames());
    ASSERT_EQ(engine->FinishSong(), 0);

    const size_t priming = WmaPrimingFrames(kRate);
    std::vector<int16_t> joined;
    size_t cut = 0;
    for (size_t i = 0; i <= p.seams.size(); ++i) {
      SCOPED_TRACE(i);
      const auto file = Read(Song("A - " + std::to_string(i) + ".wma"));
      if (i > 0) {
        // The priming is the audio just before the split, then the song.
        ASSERT_GE(file.size(), 2 * priming);
        EXPECT_TRUE(std::equal(file.begin(), file.begin() + 2 * priming, joined.end() - 2 * priming));
        cut = joined.size() / 2;
        EXPECT_NEAR(static_cast<double>(cut), static_cast<double>(p.seams[i - 1]), kRate / 100.0);
        joined.insert(joined.end(), file.begin() + 2 * priming, file.end());
      } else {
        joined = file;
      }
    }
    EXPECT_EQ(joined, p.pcm) << "every captured frame once, in order";
  }
}

TEST_F(SplitEngine, EveryOtherFinishWritesAllDelayedAudio) {
  struct Case {
    const char* what;
    std::function<void(CRecordingEngine&)> finish;
    bool splitPending;  // a song change came in just before
  };
  const std::vector<Case> cases = {
      {"pause", [](CRecordingEngine& e) { e.FinishSong(); }, false},
      {"stop", [](CRecordingEngine& e) { e.RebuildGraph(1); }, false},
      {"options", [](CRecordingEngine& e) { e.RebuildGraph(0); }, false},
      {"build", [](CRecordingEngine& e) { e.BuildGraph(1); }, false},
      {"window closed", [](CRecordingEngine& e) { e.FinishSong(); }, true},
      {"stop during a change", [](CRecordingEngine& e) { e.RebuildGraph(1); }, true},
  };
  const Program p = Songs({3.0, 1.0});
  for (const int format : {kOutputFormatMp3, kOutputFormatWma}) {
    WriteProfileInt(kKeyOutputFormat, format);
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.what << " format " << format);
      fs::remove_all(songs);
      {
        std::lock_guard lock(lame.mutex);
        lame.encodeCounts.clear();
      }
      auto engine = Make();
      ASSERT_EQ(engine->BuildGraph(0), 0);
      ASSERT_EQ(engine->StartSong(u"F", u"1", u""), 0);
      Play(p, 0, p.frames());
      if (c.splitPending) {
        ASSERT_EQ(engine->SplitSong(u"F", u"2", u""), 0);
        Play(p, 0, 0);
      }
      c.finish(*engine);
      if (format == kOutputFormatMp3) {
        const auto counts = lame.EncodeCounts();
        EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), size_t{0}), p.pcm.size());
      } else {
        std::vector<int16_t> joined = Read(Song("F - 1.wma"));
        if (c.splitPending) {
          const auto second = Read(Song("F - 2.wma"));
          const size_t priming = 2 * WmaPrimingFrames(kRate);
          ASSERT_GE(second.size(), priming);
          joined.insert(joined.end(), second.begin() + static_cast<std::ptrdiff_t>(priming), second.end());
        }
        EXPECT_EQ(joined, p.pcm);
      }
    }
  }
}

}  // namespace
