#include "recorder/engine/recording_engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "engine_fakes.h"
#include "platform/asf/fake_asf.h"
#include "platform/audio/fake_audio.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace orvweb;
using engine_test::FakeLame;
using engine_test::kMarch5th2005;
using engine_test::ManualClock;
using engine_test::TestOwner;
using platform::audio::FakeAudioSystem;
using platform::audio::FakeCaptureDevice;
using platform::audio::FakeInputMixer;

namespace {

std::string Contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<int16_t> Constant(size_t count, int16_t value) { return std::vector<int16_t>(count, value); }

class Engine : public ::testing::Test {
 protected:
  Engine() {
    songs = home.path() / "songs";
    WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");
    WriteProfileString(kKeySourceName, u"rec_sink.monitor");
    // The plain sample path; the look-back behind the encoder has its own tests.
    WriteProfileInt(kKeySplitSearch, 0);
    audio.AddDevice(device);
  }

  void SetFormat(int format) { WriteProfileInt(kKeyOutputFormat, format); }
  std::shared_ptr<platform::audio::FakeStreamState> stream() { return audio.lastStream(); }
  fs::path Song(const std::u16string& name) { return songs / platform::ToUtf8(name); }
  // Delivers one buffer through the capture thread and serves the level message.
  void Deliver(const std::vector<int16_t>& samples) {
    ASSERT_TRUE(stream()->Deliver(samples));
    loop.RunPending();
  }

  testing_support::TempDir home;
  testing_support::ScopedEnv homeEnv{"HOME", home.path().string()};
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", (home.path() / "config").string()};
  fs::path songs;
  platform::FakeLoop loop;
  TestOwner owner{loop};
  ManualClock clock{kMarch5th2005};
  FakeAudioSystem audio;
  std::shared_ptr<FakeCaptureDevice> device = FakeCaptureDevice::Make("rec_sink.monitor", u"RecSink", 2);
  std::shared_ptr<platform::asf::FakeWmaWriter> writer;
  FakeLame lame;
  CRecordingEngine engine{&owner,
                          EngineServices{&audio,
                                         [this] {
                                           writer = std::make_shared<platform::asf::FakeWmaWriter>();
                                           return writer;
                                         },
                                         &clock},
                          lame.Table()};
};

TEST_F(Engine, CaptureBufferSizeIsBoundedAndStored) {
  struct Case {
    std::optional<int> stored;
    int used;
  };
  for (const Case c : {Case{std::nullopt, 10000}, Case{99, 10000}, Case{100, 100}, Case{88000, 88000},
                       Case{88001, 10000}, Case{-1, 10000}}) {
    if (c.stored) {
      WriteProfileInt(kKeyRecBufferSize, *c.stored);
    } else {
      platform::registry::Store().DeleteValue(kProfileKey, kKeyRecBufferSize);
    }
    ASSERT_EQ(engine.BuildGraph(1), 0);
    EXPECT_EQ(stream()->bufferBytes(), static_cast<uint32_t>(c.used));
    EXPECT_EQ(GetProfileInt(kKeyRecBufferSize, 0), c.used);
  }
}

TEST_F(Engine, TheChosenInputLineIsSwitchedOnAndTheOthersOff) {
  WriteProfileInt(kKeySourceInput, 1);
  ASSERT_EQ(engine.BuildGraph(1), 0);
  EXPECT_EQ(device->InputMixerAt(0)->enabled(), 0);
  EXPECT_EQ(device->InputMixerAt(1)->enabled(), 1);
  EXPECT_EQ(engine.captureFormat().samplesPerSec, 44100u);
}

TEST_F(Engine, BuildFailsWithoutDeviceLineOrMixer) {
  WriteProfileInt(kKeySourceInput, 2);  // beyond the two lines: all off, then no pin
  EXPECT_LT(engine.BuildGraph(1), 0);
  EXPECT_EQ(device->InputMixerAt(0)->enabled(), 0);
  EXPECT_EQ(device->InputMixerAt(1)->enabled(), 0);
  EXPECT_FALSE(engine.hasGraph());

  WriteProfileInt(kKeySourceInput, 0);
  device->SetMixer(1, nullptr);
  EXPECT_EQ(engine.BuildGraph(1), platform::E_NOINTERFACE);

  WriteProfileString(kKeySourceName, u"");
  EXPECT_LT(engine.BuildGraph(1), 0);
  EXPECT_EQ(audio.connectCalls(), 0);
}

TEST_F(Engine, MonitoringAndMp3UseNoWriterWhileWmaRecordingDoes) {
  SetFormat(kOutputFormatWma);
  ASSERT_EQ(engine.BuildGraph(1), 0);
  EXPECT_EQ(stream()->downstream(), nullptr);
  SetFormat(kOutputFormatMp3);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  EXPECT_EQ(stream()->downstream(), nullptr);
  SetFormat(kOutputFormatWma);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(stream()->downstream(), writer);
}

TEST_F(Engine, StoredRecordLevelWinsAndIsAppliedClamped) {
  device->InputMixerAt(0)->SetMixLevel(0.3);
  WriteProfileInt(kKeyRecordLevel, 1000);
  ASSERT_EQ(engine.BuildGraph(1), 0);
  EXPECT_DOUBLE_EQ(device->InputMixerAt(0)->level(), 1.0);

  WriteProfileInt(kKeyRecordLevel, 5000);
  EXPECT_DOUBLE_EQ(engine.GetRecordLevel(), 5.0);
  ASSERT_EQ(engine.BuildGraph(1), 0);
  EXPECT_DOUBLE_EQ(device->InputMixerAt(0)->level(), 1.0);
  EXPECT_EQ(GetProfileInt(kKeyRecordLevel, 0), 1000);
}

TEST_F(Engine, WithoutAStoredLevelTheMixersLevelIsKept) {
  device->InputMixerAt(0)->SetMixLevel(0.2349);
  ASSERT_EQ(engine.BuildGraph(1), 0);
  EXPECT_EQ(GetProfileInt(kKeyRecordLevel, -1), 234);
}

TEST_F(Engine, RecordLevelStepsAndClamps) {
  struct Case {
    int stored;
    bool up;
    int expected;
  };
  ASSERT_EQ(engine.BuildGraph(1), 0);
  for (const Case c : {Case{100, true, 150}, Case{100, false, 90}, Case{99, true, 109}, Case{980, true, 1000},
                       Case{5, false, 0}, Case{500, false, 450}, Case{290, true, 340}, Case{1000, true, 1000},
                       Case{0, false, 0}, Case{0, true, 10}, Case{110, false, 60}}) {
    WriteProfileInt(kKeyRecordLevel, c.stored);
    EXPECT_EQ(c.up ? engine.RecordLevelUp() : engine.RecordLevelDown(), 0);
    EXPECT_EQ(GetProfileInt(kKeyRecordLevel, -1), c.expected) << c.stored << (c.up ? " up" : " down");
    EXPECT_NEAR(device->InputMixerAt(0)->level(), c.expected / 1000.0, 1e-9);
  }
}

TEST_F(Engine, RecordLevelFailures) {
  EXPECT_EQ(engine.GetRecordLevel(), -1.0);  // no line yet
  EXPECT_EQ(engine.SetRecordLevel(0.5), platform::E_POINTER);
  EXPECT_LT(engine.RecordLevelUp(), 0);

  ASSERT_EQ(engine.BuildGraph(1), 0);
  WriteProfileInt(kKeyRecordLevel, 400);
  device->InputMixerAt(0)->getLevelResult = platform::E_UNEXPECTED;
  EXPECT_EQ(engine.GetRecordLevel(), static_cast<double>(platform::E_UNEXPECTED));
  EXPECT_EQ(engine.RecordLevelUp(), platform::E_UNEXPECTED);
  // A build that cannot read the level leaves it alone instead of zeroing it.
  ASSERT_EQ(engine.BuildGraph(1), 0);
  EXPECT_EQ(GetProfileInt(kKeyRecordLevel, -1), 400);
  EXPECT_NE(device->InputMixerAt(0)->level(), 0.0);

  device->InputMixerAt(0)->getLevelResult = platform::S_OK;
  device->InputMixerAt(0)->setLevelResult = platform::E_FAIL;
  EXPECT_EQ(engine.SetRecordLevel(0.9), platform::E_FAIL);
  EXPECT_EQ(GetProfileInt(kKeyRecordLevel, -1), 400);
}

// ---- the sample path ----

TEST_F(Engine, PeakLevelTable) {
  struct Case {
    std::vector<int16_t> values;
    int peak;
  };
  const Case cases[] = {
      {{}, 0},        {{0, 0, 0}, 0},        {{5, -7, 3}, 7},          {{-32768, 0}, 32768},
      {{32767}, 32767}, {{-32767, 32767}, 32767}, {{100, -655, 655}, 655},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CRecordingEngine::PeakLevel(reinterpret_cast<const uint8_t*>(c.values.data()), c.values.size() * 2),
              c.peak);
  }
  const uint8_t one = 0x7F;
  EXPECT_EQ(CRecordingEngine::PeakLevel(&one, 1), 0);
  // An odd length ignores the last byte.
  const uint8_t odd[] = {0x10, 0x00, 0xFF};
  EXPECT_EQ(CRecordingEngine::PeakLevel(odd, 3), 16);
}

TEST_F(Engine, LevelMessagesAndTheSilenceClock) {
  struct Case {
    int16_t peak;
    uintptr_t wParam;
    bool sound;
  };
  ASSERT_EQ(engine.BuildGraph(1), 0);
  ASSERT_EQ(engine.StartSong(u"", u"", u""), 0);  // monitoring: runs the chain only
  int64_t lastSound = engine.lastSoundTime();
  for (const Case c : {Case{0, 0, false}, Case{655, 1, false}, Case{656, 2, true}, Case{-32768, 100, true},
                       Case{32767, 99, true}, Case{-3277, 10, true}}) {
    clock.Advance(1000);
    owner.levels.clear();
    auto buffer = Constant(1000, 0);
    buffer[500] = c.peak;
    Deliver(buffer);
    EXPECT_EQ(owner.levels, std::vector<uintptr_t>{c.wParam}) << c.peak;
    if (c.sound) lastSound = clock.NowMs() / 1000;
    EXPECT_EQ(engine.lastSoundTime(), lastSound) << c.peak;
  }
}

TEST_F(Engine, WithoutShowRecLevelNoMessagesButSilenceIsStillMeasured) {
  owner.showRecLevel = false;
  ASSERT_EQ(engine.BuildGraph(1), 0);
  ASSERT_EQ(engine.StartSong(u"", u"", u""), 0);
  clock.Advance(7000);
  Deliver(Constant(100, 20000));
  EXPECT_TRUE(owner.levels.empty());
  EXPECT_EQ(engine.SilenceDuration(), 0);
  clock.Advance(5000);
  Deliver(Constant(100, 0));
  EXPECT_EQ(engine.SilenceDuration(), 5);
}

TEST_F(Engine, StartingASongResetsTheSilenceClock) {
  SetFormat(kOutputFormatMp3);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  clock.Advance(600'000);
  EXPECT_EQ(engine.SilenceDuration(), kMarch5th2005 / 1000 + 600);  // nothing heard since construction
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  EXPECT_EQ(engine.SilenceDuration(), 0);
}

TEST_F(Engine, OnlyAnOpenMp3StreamIsFed) {
  SetFormat(kOutputFormatMp3);
  ASSERT_EQ(engine.BuildGraph(1), 0);
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  Deliver(Constant(2304, 1000));
  EXPECT_EQ(lame.encodeCalls.load(), 0);  // monitoring

  ASSERT_EQ(engine.RebuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  EXPECT_TRUE(engine.encodingActive());
  Deliver(Constant(5000, 1000));
  EXPECT_EQ(lame.EncodeCounts(), (std::vector<uint32_t>{2304, 2304}));
  EXPECT_EQ(engine.FinishSong(), 0);
  EXPECT_FALSE(engine.encodingActive());
  EXPECT_FALSE(stream()->running());
}

// ---- song files ----

TEST_F(Engine, SongFilesAreNamedAfterArtistAndTitle) {
  struct Case {
    std::u16string artist, title, file;
  };
  SetFormat(kOutputFormatMp3);
  const Case cases[] = {
      {u"", u"", u"song050305143015.mp3"}, {u"Artist", u"", u"Artist.mp3"}, {u"", u"Title", u"Title.mp3"},
      {u"A/B", u"C?", u"A B - C .mp3"},    {u"", u"?", u" .mp3"},          {u"-X-", u"Y", u"X- - Y.mp3"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(engine.RebuildGraph(0), 0);
    ASSERT_EQ(engine.StartSong(c.artist, c.title, u""), 0);
    EXPECT_EQ(engine.songPath(), platform::FromUtf8(songs.string()) + u"/" + c.file);
    EXPECT_TRUE(fs::exists(Song(c.file))) << platform::ToUtf8(c.file);
    EXPECT_EQ(engine.songArtist(), c.artist);
    EXPECT_EQ(engine.songTitle(), c.title);
  }
  SetFormat(kOutputFormatWma);
  ASSERT_EQ(engine.RebuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"Artist", u"Title", u""), 0);
  EXPECT_EQ(writer->fileName(), Song(u"Artist - Title.wma").string());
}

TEST_F(Engine, ANameTooLongForTheFileSystemIsShortened) {
  SetFormat(kOutputFormatMp3);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  const std::u16string title(200, u'\u00E9');  // 400 bytes of UTF-8
  ASSERT_EQ(engine.StartSong(u"Artist", title, u""), 0);
  const fs::path file(platform::ToUtf8(engine.songPath()));
  EXPECT_EQ(file.extension(), ".mp3");
  EXPECT_LE(file.filename().string().size(), 255u);
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(engine.songTitle(), title);  // the tag keeps the whole title
}

TEST_F(Engine, TheFileThePlayerIsPlayingIsNotRecordedOver) {
  SetFormat(kOutputFormatMp3);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  fs::create_directories(songs);
  const fs::path playing = Song(u"A - B.mp3");
  std::ofstream(playing) << "the song being played";
  const std::u16string path = platform::FromUtf8(playing.string());

  for (const std::u16string& source :
       {path, u"file://" + platform::FromUtf8(songs.string()) + u"/A%20-%20B.mp3"}) {
    EXPECT_EQ(engine.StartSong(u"A", u"B", source), SONG_ALREADY_RECORDED);
    EXPECT_EQ(engine.engineState(), kEngineIdle);
    EXPECT_EQ(stream()->runCalls(), 0);
    EXPECT_FALSE(engine.encodingActive());
    EXPECT_EQ(Contents(playing), "the song being played");
    EXPECT_FALSE(loop.HasTimer(owner, kLimitTimer));
  }
  // A source differing only in letter case is another file: it is recorded,
  // beside the existing one until the finish decides which stays.
  std::u16string upper = path;
  upper[upper.size() - 5] = u'b';
  EXPECT_EQ(engine.StartSong(u"A", u"B", upper), 0);
  EXPECT_EQ(engine.engineState(), kEngineRunning);
  EXPECT_EQ(Contents(playing), "the song being played");
  EXPECT_EQ(Contents(engine.writePath()).substr(0, 3), "ID3");
}

TEST_F(Engine, TheSameNameWithoutAnExistingFileIsRecorded) {
  SetFormat(kOutputFormatWma);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  EXPECT_EQ(engine.StartSong(u"A", u"B", platform::FromUtf8(Song(u"A - B.wma").string())), 0);
}

TEST_F(Engine, ShortSongsAreDeletedAndLogged) {
  struct Case {
    int format;
    int64_t lengthMs;
    int minLength;
    bool kept;
  };
  for (const Case c : {Case{kOutputFormatMp3, 39'400, 40, false}, Case{kOutputFormatMp3, 39'500, 40, true},
                       Case{kOutputFormatWma, 39'400, 40, false}, Case{kOutputFormatWma, 40'000, 40, true},
                       Case{kOutputFormatMp3, 300, 0, true}, Case{kOutputFormatMp3, 300, -5, true}}) {
    SetFormat(c.format);
    WriteProfileInt(kKeyMinSongLength, c.minLength);
    owner.logged.clear();
    ASSERT_EQ(engine.RebuildGraph(0), 0);
    ASSERT_EQ(engine.StartSong(u"Artist", u"Title", u""), 0);
    const fs::path file(platform::ToUtf8(engine.songPath()));
    Deliver(Constant(4608, 3000));
    clock.Advance(c.lengthMs);
    EXPECT_EQ(engine.FinishSong(), 0);
    EXPECT_EQ(fs::exists(file), c.kept) << c.lengthMs;
    EXPECT_EQ(owner.logged, c.kept ? std::vector<int>{} : std::vector<int>{IDS_SONG_TOO_SHORT});
    EXPECT_EQ(engine.engineState(), kEngineIdle);
    if (c.kept && c.format == kOutputFormatMp3) {
      const std::string bytes = Contents(file);
      EXPECT_EQ(bytes.substr(0, 3), "ID3");
      EXPECT_NE(bytes.find("TPE1"), std::string::npos);
      EXPECT_NE(bytes.find("Recorded by https://"), std::string::npos);
      EXPECT_EQ(bytes.substr(bytes.size() - 128, 3), "TAG");
    }
  }
}

TEST_F(Engine, NoLogWhileTheOwnerHasNoWindow) {
  owner.hasWindow = false;
  SetFormat(kOutputFormatMp3);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  EXPECT_EQ(engine.FinishSong(), 0);
  EXPECT_TRUE(owner.logged.empty());
  EXPECT_FALSE(fs::exists(Song(u"A - B.mp3")));
}

TEST_F(Engine, AWmaSongGetsItsAttributesBeforeTheRun) {
  SetFormat(kOutputFormatWma);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"Bj\u00F6rk", u"J\u00F3ga", u""), 0);
  using Attributes = std::vector<std::pair<std::u16string, std::u16string>>;
  EXPECT_EQ(writer->attributes(),
            (Attributes{{u"Description", SongComment()}, {u"Author", u"Bj\u00F6rk"}, {u"Title", u"J\u00F3ga"}}));
  EXPECT_EQ(SongComment(), std::u16string(u"Recorded by ") + kProductWebAddress);
  EXPECT_EQ(writer->startCalls(), 1);
  Deliver(Constant(1000, 5));
  EXPECT_EQ(writer->bytesWritten(), 2000u);

  ASSERT_EQ(engine.RebuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"", u"", u""), 0);
  EXPECT_EQ(writer->attributes(), (Attributes{{u"Description", SongComment()}}));
}

TEST_F(Engine, WmaFailuresLeaveTheChainStopped) {
  SetFormat(kOutputFormatWma);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  writer->setFileNameResult = platform::E_INVALIDARG;
  EXPECT_EQ(engine.StartSong(u"A", u"B", u""), platform::E_INVALIDARG);
  writer->setFileNameResult = platform::S_OK;
  writer->failAttribute = u"Title";
  EXPECT_EQ(engine.StartSong(u"A", u"B", u""), platform::E_FAIL);
  EXPECT_EQ(stream()->runCalls(), 0);
  EXPECT_EQ(engine.engineState(), kEngineIdle);
  EXPECT_FALSE(loop.HasTimer(owner, kRecordTimeTimer));
}

TEST_F(Engine, Mp3WithoutTheLibraryOrWithARefusedStreamFails) {
  SetFormat(kOutputFormatMp3);
  lame.initResult = BE_ERR_INVALID_FORMAT_PARAMETERS;
  ASSERT_EQ(engine.BuildGraph(0), 0);
  EXPECT_EQ(engine.StartSong(u"A", u"B", u""), platform::E_FAIL);
  EXPECT_FALSE(engine.encodingActive());
  EXPECT_EQ(stream()->runCalls(), 0);

  CRecordingEngine noLame(&owner, EngineServices{&audio, nullptr, &clock}, Mp3EncoderTable{});
  // Without the library MP3 reads as WMA; with no writer to make, the build fails.
  EXPECT_EQ(GetOutputFormat([] { return false; }), kOutputFormatWma);
  EXPECT_LT(noLame.BuildGraph(0), 0);
}

TEST_F(Engine, SamplesOtherThan16BitFailTheStartInsteadOfTheProgram) {
  SetFormat(kOutputFormatMp3);
  audio.format = platform::audio::MakePcmFormat(2, 44100, 24);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  EXPECT_EQ(engine.StartSong(u"A", u"B", u""), platform::E_FAIL);
  EXPECT_FALSE(fs::exists(Song(u"A - B.mp3")));
}

TEST_F(Engine, WithoutAChainStartAndFinishFail) {
  EXPECT_LT(engine.StartSong(u"A", u"B", u""), 0);
  WriteProfileString(kKeySourceName, u"gone");
  EXPECT_LT(engine.BuildGraph(0), 0);
  EXPECT_LT(engine.StartSong(u"A", u"B", u""), 0);
  EXPECT_EQ(engine.FinishSong(), 0);  // idle: nothing to finish
}

TEST_F(Engine, ARecordingRunArmsTheSongTimersAndRebuildingDropsThem) {
  SetFormat(kOutputFormatMp3);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  EXPECT_TRUE(loop.HasTimer(owner, kLimitTimer));
  EXPECT_TRUE(loop.HasTimer(owner, kRecordTimeTimer));
  clock.Advance(45'000);
  ASSERT_EQ(engine.RebuildGraph(1), 0);  // finishes the song first: kept and tagged
  EXPECT_FALSE(loop.HasTimer(owner, kLimitTimer));
  EXPECT_FALSE(loop.HasTimer(owner, kRecordTimeTimer));
  EXPECT_EQ(Contents(Song(u"A - B.mp3")).substr(0, 3), "ID3");
  EXPECT_EQ(lame.Calls().back(), "close");
}

TEST_F(Engine, MonitoringRunsTheChainOnly) {
  SetFormat(kOutputFormatWma);
  ASSERT_EQ(engine.BuildGraph(1), 0);
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  EXPECT_EQ(engine.engineState(), kEngineRunning);
  EXPECT_TRUE(stream()->running());
  EXPECT_FALSE(loop.HasTimer(owner, kLimitTimer));
  EXPECT_FALSE(fs::exists(songs));
  // A second start while monitoring only runs the running chain again.
  ASSERT_EQ(engine.StartSong(u"", u"", u""), 0);
  EXPECT_EQ(engine.FinishSong(), 0);
  EXPECT_FALSE(stream()->running());
  EXPECT_EQ(engine.engineState(), kEngineIdle);
}

TEST_F(Engine, RunStatusDecidesTheState) {
  SetFormat(kOutputFormatMp3);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  stream()->runResult = platform::S_FALSE;
  stream()->waitResult = platform::E_ABORT;
  EXPECT_EQ(engine.StartSong(u"A", u"B", u""), platform::E_ABORT);
  EXPECT_EQ(stream()->lastWaitTimeoutMs(), 2000);
  EXPECT_EQ(engine.engineState(), kEngineFailed);
  // A failed run is stopped and closed, but the file is neither deleted nor tagged.
  clock.Advance(1000);
  EXPECT_EQ(engine.FinishSong(), 0);
  EXPECT_EQ(engine.engineState(), kEngineIdle);
  // The finish's tags (ID3v1 last) are not written.
  EXPECT_EQ(Contents(Song(u"A - B.mp3")).rfind("TAG"), std::string::npos);
  EXPECT_TRUE(fs::exists(Song(u"A - B.mp3")));

  stream()->waitResult = platform::S_OK;
  EXPECT_EQ(engine.StartSong(u"C", u"D", u""), 0);
  EXPECT_EQ(engine.engineState(), kEngineRunning);
}

TEST_F(Engine, AStartAfterAFailedRunStopsAndClosesTheOpenStreamFirst) {
  SetFormat(kOutputFormatMp3);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  stream()->runResult = platform::S_FALSE;  // started late: the stream does run
  stream()->waitResult = platform::E_ABORT;
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), platform::E_ABORT);
  Deliver(Constant(3000, 100));
  stream()->waitResult = platform::S_OK;
  ASSERT_EQ(engine.StartSong(u"C", u"D", u""), 0);
  EXPECT_EQ(stream()->stopCalls(), 1);
  EXPECT_EQ(lame.Calls(), (std::vector<std::string>{"init", "encode", "encode", "deinit", "header", "close", "init"}));
  EXPECT_EQ(Contents(Song(u"A - B.mp3")).rfind("TAG"), std::string::npos);  // neither tagged
  EXPECT_TRUE(fs::exists(Song(u"A - B.mp3")));                             // nor deleted
}

TEST_F(Engine, AFailedStopStillClosesAndTags) {
  SetFormat(kOutputFormatMp3);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  stream()->stopResult = platform::E_UNEXPECTED;
  clock.Advance(60'000);
  EXPECT_EQ(engine.FinishSong(), platform::E_UNEXPECTED);
  EXPECT_EQ(engine.engineState(), kEngineFailed);
  EXPECT_FALSE(engine.encodingActive());
  EXPECT_NE(Contents(Song(u"A - B.mp3")).find("TPE1"), std::string::npos);
}

TEST_F(Engine, AStartWithoutAFileNeverTouchesThePreviousSong) {
  SetFormat(kOutputFormatMp3);
  ASSERT_EQ(engine.BuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  clock.Advance(60'000);
  ASSERT_EQ(engine.FinishSong(), 0);
  // A format that selects neither MP3 nor WMA starts no file.
  SetFormat(3);
  ASSERT_EQ(engine.StartSong(u"C", u"D", u""), 0);
  clock.Advance(1000);
  ASSERT_EQ(engine.FinishSong(), 0);
  EXPECT_TRUE(fs::exists(Song(u"A - B.mp3")));
}

}  // namespace
