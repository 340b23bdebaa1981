// Song files under faults, for real: the controller on the GLib loop
// capturing a tone from the rig's PulseAudio into LAME, with a file of the
// user's in the way, a songs folder that fills up or is removed mid-song,
// and mpv playing a recorded song by a relative name. Each case asserts that
// nothing the user had, or that was recorded, is lost.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/asf/asf.h"
#include "platform/html/memory_page.h"
#include "platform/loop/glib_loop.h"
#include "platform/shell/fake_message_box.h"
#include "platform/text/utf.h"
#include "real_controller_support.h"
#include "recorder/controller/recorder_dlg.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "shared/now_playing.h"
#include "test_support.h"
#include "tests/platform/asf/media_tools.h"

namespace {

namespace fs = std::filesystem;
using namespace orvweb;
using namespace orvweb::real_controller;
using testing_support::Child;

std::string Contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

double DecodedSeconds(const fs::path& file) {
  const auto r = media_tools::Run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f", "s16le",
                                   "-ac", "2", "-ar", "44100", "-"});
  return static_cast<double>(r.out.size()) / (44100.0 * 4);
}

std::set<std::string> FilesIn(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& e : fs::directory_iterator(folder, error)) names.insert(e.path().filename().string());
  return names;
}

// Runs the loop until cond holds or timeoutMs pass (checked every 50 ms).
class Waiter : public platform::Window {
 public:
  explicit Waiter(platform::GlibLoop& loop) : Window(loop), loop_(loop) {}
  bool Until(std::function<bool()> cond, int timeoutMs) {
    cond_ = std::move(cond);
    deadline_ = loop_.NowMs() + timeoutMs;
    if (cond_()) return true;
    SetTimer(1, 50);
    loop_.Run();
    KillTimer(1);
    return cond_();
  }
  void For(int ms) {
    const int64_t end = loop_.NowMs() + ms;
    Until([&] { return loop_.NowMs() >= end; }, ms + 1000);
  }

 protected:
  void OnTimer(uint32_t) override {
    if (cond_() || loop_.NowMs() >= deadline_) loop_.Quit();
  }

 private:
  platform::GlibLoop& loop_;
  std::function<bool()> cond_;
  int64_t deadline_ = 0;
};

class FileFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* server = std::getenv("PULSE_SERVER");
    if (!server || !*server) GTEST_SKIP() << "PULSE_SERVER is not set: run the tests inside scripts/rig";
    sink = std::make_unique<ScopedNullSink>("orvweb_faults_" + std::to_string(::getpid()));
    ASSERT_TRUE(sink->loaded());
    WriteProfileString(kKeySourceName, platform::FromUtf8(sink->name() + ".monitor"));
    WriteProfileInt(kKeyOutputFormat, kOutputFormatMp3);
    WriteProfileInt(kKeyMinSongLength, 1);
    WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");
    const fs::path tone = home.path() / "tone.wav";
    WriteTone(tone, 60.0);
    player = std::make_unique<Child>(std::vector<std::string>{"/usr/bin/paplay", "-d", sink->name(), tone.string()});

    DlgServices services = fakes.Services(*audio);
    services.makeWmaWriter = [] { return platform::asf::MakeFfmpegWmaWriter(); };
    dlg = std::make_unique<COrvWebRecorderDlg>(loop, std::move(services));
    if (!dlg->engine().encoder().isLoaded()) GTEST_SKIP() << "libmp3lame is missing";
    AddMainPageElements(page);
  }
  void TearDown() override {
    if (dlg) dlg->OnDestroy();
    dlg.reset();
    player.reset();
    sink.reset();
  }
  void Publish(const char* artist, const char* title) {
    if (!writer) writer = NowPlayingWriter::Open();
    ASSERT_TRUE(writer);
    real_controller::Publish(*writer, artist, title);
  }
  std::string Log() const { return platform::ToUtf8(dlg->log().Contents()); }
  bool Logged(int id) const { return Log().find(platform::ToUtf8(LoadMessage(id)).substr(0, 20)) != std::string::npos; }
  // Records `artist - title` from a click on Record for about ms.
  void RecordFor(const char* artist, const char* title, int ms) {
    Publish(artist, title);
    if (!loaded) {
      ASSERT_EQ(dlg->OnUiLoaded(&page), 0);
      loaded = true;
    }
    waiter.For(300);
    dlg->OnRecordClick();
    ASSERT_TRUE(dlg->recordingOn()) << Log();
    waiter.For(ms);
  }
  // A finished song: whole frames, tags, the length the header tells.
  void ExpectWholeSong(const fs::path& file, const char* title, double minSeconds) {
    SCOPED_TRACE(file.string());
    std::string errors;
    EXPECT_TRUE(media_tools::DecodesCleanly(file, &errors)) << errors;
    auto probe = media_tools::Probe(file);
    EXPECT_EQ(probe["TAG:title"], title);
    EXPECT_GT(std::atof(probe["duration"].c_str()), minSeconds);
  }

  RealHome home;
  fs::path songs = home.songs;
  std::unique_ptr<ScopedNullSink> sink;
  std::unique_ptr<Child> player;
  platform::GlibLoop loop;
  Waiter waiter{loop};
  std::unique_ptr<CountingAudio> audio = std::make_unique<CountingAudio>(platform::audio::MakePulseAudioSystem());
  DlgFakes fakes;
  platform::shell::FakeMessageBox& boxes = fakes.boxes;
  platform::html::MemoryPage page;
  std::unique_ptr<NowPlayingWriter> writer;
  std::unique_ptr<COrvWebRecorderDlg> dlg;
  bool loaded = false;
};

TEST_F(FileFaults, AForeignFileWithTwoId3v2TagsStaysAndTheTakeIsSavedBeside) {
  fs::create_directories(songs);
  const fs::path mine = songs / "Artist A - Song A.mp3";
  media_tools::Run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=300:duration=2",
                    "-c:a", "libmp3lame", "-metadata", "title=Mine", (home.path() / "own.mp3").string()});
  const std::string own = Contents(home.path() / "own.mp3");
  ASSERT_GT(own.size(), 1000u);
  // A second, empty ID3v2.3 tag in front of the first.
  std::string extra = std::string("ID3\x03\x00\x00\x00\x00\x00\x0a", 10) + std::string(10, '\0');
  std::ofstream(mine, std::ios::binary) << extra << own;
  const std::string before = Contents(mine);

  RecordFor("Artist A", "Song A", 3000);
  Publish("Artist B", "Song B");
  waiter.For(2500);
  dlg->OnRecordClick();

  EXPECT_EQ(Contents(mine), before);
  EXPECT_EQ(FilesIn(songs), (std::set<std::string>{"Artist A - Song A.mp3", "Artist A - Song A (2).mp3",
                                                   "Artist B - Song B.mp3"}));
  ExpectWholeSong(songs / "Artist A - Song A (2).mp3", "Song A", 1.0);
  EXPECT_NE(Log().find("The new recording is saved as Artist A - Song A (2).mp3"), std::string::npos) << Log();
}

class FullFolder : public FileFaults, public ::testing::WithParamInterface<int> {};

TEST_P(FullFolder, KeepsTheSongAsFarAsWrittenAndTellsTheUser) {
  const int format = GetParam();
  const std::string name = format == kOutputFormatMp3 ? "Artist F - Full Song.mp3" : "Artist F - Full Song.wma";
  WriteProfileInt(kKeyOutputFormat, format);
  fs::create_directories(songs);
  if (::mount("tmpfs", songs.c_str(), "tmpfs", 0, "size=160k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << std::strerror(errno);
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{songs};

  RecordFor("Artist F", "Full Song", 0);
  ASSERT_TRUE(waiter.Until([&] { return !dlg->recordingOn(); }, 40000)) << "recording never stopped: " << Log();
  EXPECT_NE(Log().find("The songs folder is full or cannot be written: " + songs.string() + "/"), std::string::npos)
      << Log();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_NE(platform::ToUtf8(boxes.shown[0].text).find(songs.string()), std::string::npos);
  ASSERT_TRUE(fs::exists(songs / name)) << testing::PrintToString(FilesIn(songs));
  ExpectWholeSong(songs / name, "Full Song", 4.0);
  // The header tells what the frames hold.
  auto probe = media_tools::Probe(songs / name);
  EXPECT_NEAR(std::atof(probe["duration"].c_str()), DecodedSeconds(songs / name), 0.1);
}

INSTANTIATE_TEST_SUITE_P(Formats, FullFolder, ::testing::Values(kOutputFormatMp3, kOutputFormatWma),
                         [](const auto& info) { return std::string(info.param == kOutputFormatMp3 ? "Mp3" : "Wma"); });

TEST_F(FileFaults, ASongsFolderRemovedMidSongStopsWithAMessageAndTheNextRecordWorks) {
  RecordFor("Artist R", "Removed Song", 2500);
  fs::remove_all(songs);
  ASSERT_TRUE(waiter.Until([&] { return !dlg->recordingOn(); }, 10000)) << "recording never stopped: " << Log();
  EXPECT_NE(Log().find("The songs folder is full or cannot be written: " + songs.string() + "/"), std::string::npos)
      << Log();
  EXPECT_EQ(boxes.shown.size(), 1u);

  // The next Record makes the folder again and records.
  dlg->OnRecordClick();
  ASSERT_TRUE(dlg->recordingOn()) << Log();
  // By audio that reached the engine, not the clock: a loaded machine's
  // capture may stall for a while, and what it never delivered is not lost.
  const double started = audio->RecordedSeconds();
  ASSERT_TRUE(waiter.Until([&] { return audio->RecordedSeconds() - started >= 2.5; }, 30000)) << Log();
  dlg->OnRecordClick();
  EXPECT_FALSE(dlg->recordingOn());
  ExpectWholeSong(songs / "Artist R - Removed Song.mp3", "Removed Song", 1.5);
}

TEST_F(FileFaults, MpvPlayingARecordedSongByARelativeNameIsNotRecordedOverIt) {
  RecordFor("Artist M", "Mpv Song", 2500);
  dlg->OnRecordClick();
  const fs::path song = songs / "Artist M - Mpv Song.mp3";
  ASSERT_TRUE(fs::exists(song)) << Log();
  const std::string before = Contents(song);

  // Record is on (a radio song too short to keep) when the user plays the
  // recorded song in mpv, from inside the songs folder by its bare name.
  WriteProfileInt(kKeyMinSongLength, 30);
  Publish("Radio", "Before");
  waiter.For(300);
  dlg->OnRecordClick();
  ASSERT_TRUE(dlg->recordingOn()) << Log();
  writer.reset();  // the player's plug-in publishes now
  Child mpv({"/usr/bin/env", "-C", songs.string(), "/usr/bin/mpv", "--no-config", "--no-video", "--no-terminal",
             "--really-quiet", "--ao=null", "--loop-file=inf", std::string("--script=") + ORVWEB_PLUGIN_PATH,
             song.filename().string()});
  // The plug-in's host makes the path absolute against mpv's folder; the
  // recorder sees the very file and stops.
  ASSERT_TRUE(waiter.Until([&] { return !dlg->recordingOn(); }, 20000)) << Log();
  EXPECT_EQ(platform::ToUtf8(dlg->currentSourceUrl()), song.string());
  EXPECT_NE(Log().find(platform::ToUtf8(LoadMessage(IDS_SONG_ALREADY_RECORDED))), std::string::npos) << Log();
  waiter.For(1500);
  EXPECT_EQ(FilesIn(songs), std::set<std::string>{"Artist M - Mpv Song.mp3"}) << Log();
  EXPECT_EQ(Contents(song), before);
  mpv.Kill(SIGTERM);
  mpv.Wait(20000);
}

}  // namespace
