// The song file's name rule (the longer recording of a song keeps the name,
// nothing is ever cut while recording), the crash marker and the start-up
// repair, with the encoder and the measurement faked.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "engine_fakes.h"
#include "platform/asf/fake_asf.h"
#include "platform/audio/fake_audio.h"
#include "platform/text/utf.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/engine/recording_engine.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace orvweb;

namespace {

std::string Contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  if (fs::exists(folder)) {
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path().filename());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class SongFiles : public ::testing::Test {
 protected:
  SongFiles() {
    songs = home.path() / "songs";
    WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");
    WriteProfileString(kKeySourceName, u"rec_sink.monitor");
    WriteProfileInt(kKeyMinSongLength, 40);
    WriteProfileInt(kKeyOutputFormat, kOutputFormatMp3);
    // Audio reaches the file as captured; the look-back has its own tests.
    WriteProfileInt(kKeySplitSearch, 0);
    audio.AddDevice(device);
    // A fake song plays as long as it is big: the bytes count as milliseconds.
    engine.SetSongFileTools({[this](const std::string& path, int) -> std::optional<int64_t> {
                               measured.push_back(path);
                               if (!fs::exists(path)) return std::nullopt;
                               return static_cast<int64_t>(fs::file_size(path));
                             },
                             [this](const std::string& path, int) {
                               repaired.push_back(path);
                               return repairWorks;
                             },
                             [this](const std::string& path, int) {
                               return !foreign.count(fs::path(path).filename().string());
                             }});
  }

  // Records `buffers` buffers of one chunk each over `seconds` of clock time.
  void Record(int buffers, int seconds) {
    for (int i = 0; i < buffers; ++i) ASSERT_TRUE(audio.lastStream()->Deliver(std::vector<int16_t>(2304, 1000)));
    clock.Advance(seconds * 1000);
  }
  fs::path Song() const { return songs / "A - B.mp3"; }
  // Names of files this program did not make.
  std::set<std::string> foreign;

  testing_support::TempDir home;
  testing_support::ScopedEnv homeEnv{"HOME", home.path().string()};
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", (home.path() / "config").string()};
  testing_support::ScopedEnv stateEnv{"XDG_STATE_HOME", (home.path() / "state").string()};
  fs::path songs;
  platform::FakeLoop loop;
  engine_test::TestOwner owner{loop};
  engine_test::ManualClock clock{engine_test::kMarch5th2005};
  platform::audio::FakeAudioSystem audio;
  std::shared_ptr<platform::audio::FakeCaptureDevice> device =
      platform::audio::FakeCaptureDevice::Make("rec_sink.monitor", u"RecSink", 2);
  engine_test::FakeLame lame;
  CRecordingEngine engine{&owner, EngineServices{&audio, nullptr, &clock}, lame.Table()};
  std::vector<std::string> measured;
  std::vector<std::string> repaired;
  bool repairWorks = true;
};

enum class Again { PauseResume, StopThenRecord, RecordWhileRecording };

struct OverwriteCase {
  Again again;
  int firstBuffers;
  int secondBuffers;
  int secondSeconds;  // below 40: the second recording is too short
};

std::string OverwriteName(const ::testing::TestParamInfo<OverwriteCase>& info) {
  static const char* const names[] = {"PauseResume", "StopThenRecord", "RecordWhileRecording"};
  const OverwriteCase& c = info.param;
  const char* outcome = c.secondSeconds < 40                ? "TooShort"
                        : c.secondBuffers > c.firstBuffers ? "Longer"
                        : c.secondBuffers < c.firstBuffers ? "Shorter"
                                                           : "Tie";
  return std::string(names[static_cast<int>(c.again)]) + outcome;
}

class OverwriteRule : public SongFiles, public ::testing::WithParamInterface<OverwriteCase> {};

TEST_P(OverwriteRule, TheLongerRecordingKeepsTheNameAndNothingIsCut) {
  const OverwriteCase c = GetParam();
  ASSERT_EQ(engine.BuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  EXPECT_EQ(engine.writePath(), Song().string());  // a free name is written directly
  Record(c.firstBuffers, 60);

  switch (c.again) {
    case Again::PauseResume:
      ASSERT_EQ(engine.FinishSong(), 0);
      ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
      break;
    case Again::StopThenRecord:
      ASSERT_EQ(engine.FinishSong(), 0);
      ASSERT_EQ(engine.RebuildGraph(1), 0);
      ASSERT_EQ(engine.StartSong(u"", u"", u""), 0);
      ASSERT_EQ(engine.RebuildGraph(0), 0);
      ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
      break;
    case Again::RecordWhileRecording:
      ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
      break;
  }
  const std::string first = Contents(Song());
  ASSERT_FALSE(first.empty());
  // The second recording goes beside the first, which stays whole meanwhile.
  const fs::path temp = engine.writePath();
  EXPECT_EQ(temp.parent_path(), songs);
  EXPECT_EQ(temp.filename().string().rfind(".A - B.mp3.part-", 0), 0u) << temp;
  EXPECT_TRUE(fs::exists(temp));
  Record(c.secondBuffers, c.secondSeconds);
  EXPECT_EQ(Contents(Song()), first);
  ASSERT_EQ(engine.FinishSong(), 0);

  // Exactly one file of the song, never shorter than the longer recording.
  EXPECT_EQ(FilesIn(songs), std::vector<fs::path>{"A - B.mp3"});
  // Ties keep the file that was there.
  const bool secondKept = c.secondSeconds >= 40 && c.secondBuffers > c.firstBuffers;
  if (secondKept) {
    EXPECT_GT(Contents(Song()).size(), first.size());
  } else {
    EXPECT_TRUE(Contents(Song()) == first);
  }
  EXPECT_EQ(owner.logged, c.secondSeconds < 40 ? std::vector<int>{IDS_SONG_TOO_SHORT} : std::vector<int>{});
  EXPECT_FALSE(fs::exists(SongMarkerPath()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OverwriteRule,
    ::testing::Values(OverwriteCase{Again::PauseResume, 10, 20, 60}, OverwriteCase{Again::PauseResume, 20, 10, 60},
                      OverwriteCase{Again::PauseResume, 10, 10, 60}, OverwriteCase{Again::PauseResume, 10, 30, 5},
                      OverwriteCase{Again::StopThenRecord, 10, 20, 60},
                      OverwriteCase{Again::StopThenRecord, 20, 10, 60},
                      OverwriteCase{Again::StopThenRecord, 10, 30, 5},
                      OverwriteCase{Again::RecordWhileRecording, 10, 20, 60},
                      OverwriteCase{Again::RecordWhileRecording, 20, 10, 60},
                      OverwriteCase{Again::RecordWhileRecording, 10, 30, 5}),
    OverwriteName);

TEST_F(SongFiles, TheMarkerNamesTheFileBeingWrittenUntilTheFinish) {
  ASSERT_EQ(engine.BuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  const std::string marker = Contents(SongMarkerPath());
  EXPECT_NE(marker.find(Song().string()), std::string::npos);
  Record(5, 60);
  ASSERT_EQ(engine.FinishSong(), 0);
  EXPECT_FALSE(fs::exists(SongMarkerPath()));

  // A second recording of the name: the marker has the temporary file and the name.
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  const std::string second = Contents(SongMarkerPath());
  EXPECT_NE(second.find(engine.writePath()), std::string::npos);
  EXPECT_NE(second.find(Song().string()), std::string::npos);

  // Monitoring writes no marker.
  ASSERT_EQ(engine.RebuildGraph(1), 0);
  EXPECT_FALSE(fs::exists(SongMarkerPath()));
  ASSERT_EQ(engine.StartSong(u"", u"", u""), 0);
  EXPECT_FALSE(fs::exists(SongMarkerPath()));
}

struct BesideCase {
  const char* name;
  std::vector<std::string> foreignFiles;  // there before, not made here
  bool ownUnmeasurable;                   // "A - B.mp3" is ours but cannot be measured
  const char* keptAs;                     // nullptr: the take is dropped
  std::vector<std::string> ownFiles = {};  // made here, longer than the take
};

class Beside : public SongFiles, public ::testing::WithParamInterface<BesideCase> {};

TEST_P(Beside, AFileThatMustNotBeReplacedStaysAndTheTakeGoesToTheNextFreeName) {
  const BesideCase c = GetParam();
  fs::create_directories(songs);
  std::map<std::string, std::string> before;
  for (const std::string& name : c.foreignFiles) {
    foreign.insert(name);
    before[name] = std::string(50000 + name.size(), 'U');  // longer than any take
  }
  if (c.ownUnmeasurable) before["A - B.mp3"] = "not audio";
  for (const std::string& name : c.ownFiles) before[name] = std::string(60000, 'O');
  for (const auto& [name, bytes] : before) std::ofstream(songs / name, std::ios::binary) << bytes;
  if (c.ownUnmeasurable) {
    engine.SetSongFileTools({[](const std::string& path, int) -> std::optional<int64_t> {
                               if (Contents(path) == "not audio") return std::nullopt;
                               return static_cast<int64_t>(fs::file_size(path));
                             },
                             nullptr, [](const std::string&, int) { return true; }});
  }

  ASSERT_EQ(engine.BuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"A", u"B", u""), 0);
  Record(5, 60);
  ASSERT_EQ(engine.FinishSong(), 0);

  for (const auto& [name, bytes] : before) EXPECT_EQ(Contents(songs / name), bytes) << name;
  std::vector<fs::path> expected;
  for (const auto& [name, bytes] : before) expected.push_back(name);
  if (c.keptAs) expected.push_back(c.keptAs);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(FilesIn(songs), expected);
  if (!c.keptAs) {
    EXPECT_TRUE(owner.texts.empty());
    return;
  }
  EXPECT_GT(fs::file_size(songs / c.keptAs), 0u);
  ASSERT_EQ(owner.texts.size(), 1u);
  EXPECT_NE(owner.texts[0].find(platform::FromUtf8(c.keptAs)), std::u16string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Beside,
    ::testing::Values(BesideCase{"Foreign", {"A - B.mp3"}, false, "A - B (2).mp3"},
                      BesideCase{"ForeignTwice", {"A - B.mp3", "A - B (2).mp3"}, false, "A - B (3).mp3"},
                      BesideCase{"OwnButUnmeasurable", {}, true, "A - B (2).mp3"},
                      // A repeat of the song compares with the copy made here: no "(3)".
                      BesideCase{"RepeatBesideAForeignFile", {"A - B.mp3"}, false, nullptr, {"A - B (2).mp3"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RepairCase {
  const char* name;
  bool existing;     // a finished file of the name was there before
  int buffers;       // size of the crashed recording
  int minLength;     // "MinSongLength"; the fake's length is bytes as ms
  bool repairWorks;
  const char* kept;  // "crashed", "existing" or "" (none)
};

class Repair : public SongFiles, public ::testing::WithParamInterface<RepairCase> {};

TEST_P(Repair, ACrashedSongIsRepairedAndTheRulesOfAFinishApply) {
  const RepairCase c = GetParam();
  WriteProfileInt(kKeyMinSongLength, c.minLength);
  repairWorks = c.repairWorks;
  std::string existing;
  if (c.existing) {
    fs::create_directories(songs);
    existing = std::string(20000, 'E');  // plays "20 s" by the fake measure
    std::ofstream(Song(), std::ios::binary) << existing;
  }
  std::string crashed;
  std::string written;
  {
    // The engine goes away with the song open, as in a crash: no finish,
    // the file as written so far, the marker left behind.
    CRecordingEngine dying{&owner, EngineServices{&audio, nullptr, &clock}, lame.Table()};
    ASSERT_EQ(dying.BuildGraph(0), 0);
    ASSERT_EQ(dying.StartSong(u"A", u"B", u""), 0);
    written = dying.writePath();
    EXPECT_EQ(written == Song().string(), !c.existing);
    for (int i = 0; i < c.buffers; ++i) ASSERT_TRUE(audio.lastStream()->Deliver(std::vector<int16_t>(2304, 1000)));
  }
  crashed = Contents(written);
  ASSERT_TRUE(fs::exists(SongMarkerPath()));

  const SongRepair result = engine.RepairInterruptedSong();
  EXPECT_TRUE(result.found);
  EXPECT_EQ(result.name, u"A - B.mp3");
  EXPECT_EQ(result.repaired, c.repairWorks);
  EXPECT_EQ(repaired, std::vector<std::string>{written});
  EXPECT_FALSE(fs::exists(SongMarkerPath()));
  const std::string kept = c.kept;
  if (kept == "crashed") {
    EXPECT_EQ(FilesIn(songs), std::vector<fs::path>{"A - B.mp3"});
    EXPECT_EQ(Contents(Song()).substr(0, crashed.size() - 4096), crashed.substr(0, crashed.size() - 4096));
    EXPECT_EQ(Contents(Song()).rfind("TAG"), Contents(Song()).size() - 128);  // tagged as a finish does
  } else if (kept == "crashed-unrepaired") {
    EXPECT_EQ(FilesIn(songs), std::vector<fs::path>{"A - B.mp3"});
    EXPECT_EQ(Contents(Song()), crashed);
  } else if (kept == "existing") {
    EXPECT_EQ(FilesIn(songs), std::vector<fs::path>{"A - B.mp3"});
    EXPECT_EQ(Contents(Song()), existing);
  } else {
    EXPECT_TRUE(FilesIn(songs).empty());
  }
  EXPECT_EQ(result.tooShort, kept.empty());

  // Nothing is left for the next start.
  repaired.clear();
  EXPECT_FALSE(engine.RepairInterruptedSong().found);
  EXPECT_TRUE(repaired.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Repair,
    ::testing::Values(RepairCase{"Kept", false, 20, 1, true, "crashed"},
                      RepairCase{"TooShortIsDeleted", false, 20, 100, true, ""},
                      RepairCase{"LongerThanTheExistingFile", true, 100, 0, true, "crashed"},
                      RepairCase{"ShorterThanTheExistingFile", true, 2, 0, true, "existing"},
                      RepairCase{"AFailedRepairLeavesTheFile", false, 20, 1, false, "crashed-unrepaired"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SongFiles, AMarkerWithoutItsFileOrDamagedIsDropped) {
  fs::create_directories(SongMarkerPath().parent_path());
  for (const std::string& marker : {std::string("garbage"), std::string("orvweb-song 1\n1\0/no/such.mp3\0/no/such.mp3\0a\0b\0", 43)}) {
    std::ofstream(SongMarkerPath(), std::ios::binary) << marker;
    EXPECT_FALSE(engine.RepairInterruptedSong().found);
    EXPECT_FALSE(fs::exists(SongMarkerPath()));
    EXPECT_TRUE(repaired.empty());
  }
}

TEST_F(SongFiles, ASongOfARecorderStillRunningIsLeftAloneUntilItEnds) {
  fs::create_directories(songs);
  const fs::path song = songs / "Other - Song.mp3";
  const std::string bytes(30000, 'S');
  std::ofstream(song, std::ios::binary) << bytes;
  std::optional<platform::files::ProcessInstance> other;
  fs::path marker;
  {
    testing_support::Child recorder({"/bin/sleep", "30"});
    other = platform::files::ProcessInstance::Of(recorder.pid());
    ASSERT_TRUE(other);
    marker = SongMarkerPath().parent_path() / ("orv.recording." + other->Tag());
    fs::create_directories(marker.parent_path());
    std::ofstream(marker, std::ios::binary)
        << std::string("orvweb-song 1\n1\0", 16) + song.string() + '\0' + song.string() + '\0' + "Other" + '\0' +
               "Song" + '\0';
    EXPECT_TRUE(engine.RepairInterruptedSongs().empty());
    EXPECT_TRUE(repaired.empty());
    EXPECT_EQ(Contents(song), bytes);
    EXPECT_TRUE(fs::exists(marker));
    recorder.Kill(SIGKILL);
    recorder.Wait(5000);
  }
  const auto repairs = engine.RepairInterruptedSongs();
  ASSERT_EQ(repairs.size(), 1u);
  EXPECT_EQ(repairs[0].name, u"Other - Song.mp3");
  EXPECT_EQ(repaired, std::vector<std::string>{song.string()});
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(SongFiles, ThePlayerPlayingTheSongThroughAnotherPathIsAlreadyRecorded) {
  const fs::path real = home.path() / "real";
  fs::create_directories(real);
  fs::create_directory_symlink(real, songs);  // the songs folder is a link
  std::ofstream(real / "A - B.mp3", std::ios::binary) << std::string(70000, 'x');
  ASSERT_EQ(engine.BuildGraph(0), 0);
  for (const std::string& source : {(real / "A - B.mp3").string(), "file://" + (real / "A%20-%20B.mp3").string()}) {
    SCOPED_TRACE(source);
    EXPECT_EQ(engine.StartSong(u"A", u"B", platform::FromUtf8(source)), SONG_ALREADY_RECORDED);
  }
  // Another file of the folder is not the song.
  std::ofstream(real / "C.mp3", std::ios::binary) << "c";
  EXPECT_EQ(engine.StartSong(u"A", u"B", platform::FromUtf8((real / "C.mp3").string())), 0);
  ASSERT_EQ(engine.FinishSong(), 0);
}

}  // namespace
