// The whole recording path for real: the controller on the GLib loop, the
// engine capturing from PulseAudio (the rig's server, a null sink of this
// test's own with a tone played into it), LAME and id3lib, and songs
// published through the now-playing channel by this process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "platform/audio/audio.h"
#include "platform/html/memory_page.h"
#include "platform/loop/glib_loop.h"
#include "platform/text/utf.h"
#include "real_controller_support.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/controller/recorder_dlg.h"
#include "recorder/core/settings.h"
#include "shared/now_playing.h"
#include "test_support.h"
#include "tests/platform/asf/media_tools.h"

namespace {

namespace fs = std::filesystem;
using namespace orvweb;
using namespace orvweb::real_controller;
using testing_support::Child;

// The loudest sample of the decoded file in dB of full scale; -1000 when
// ffmpeg says nothing.
double MaxVolumeDb(const fs::path& file) {
  const auto r = media_tools::Run({"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-i", file.string(), "-af",
                                   "volumedetect", "-f", "null", "-"});
  const auto at = r.err.find("max_volume: ");
  return at == std::string::npos ? -1000.0 : std::atof(r.err.c_str() + at + 12);
}

TEST(ControllerReal, PublishedSongsBecomeNamedTaggedMp3Files) {
  const char* server = std::getenv("PULSE_SERVER");
  ASSERT_TRUE(server && *server) << "PULSE_SERVER is not set: run the tests inside scripts/rig";

  RealHome home;
  const fs::path songs = home.songs;

  ScopedNullSink sink("orvweb_controller_" + std::to_string(::getpid()));
  ASSERT_TRUE(sink.loaded());
  WriteProfileString(kKeySourceName, platform::FromUtf8(sink.name() + ".monitor"));
  WriteProfileInt(kKeySourceInput, 0);
  WriteProfileInt(kKeyOutputFormat, kOutputFormatMp3);
  WriteProfileInt(kKeyMinSongLength, 2);
  WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");

  const fs::path tone = home.path() / "tone.wav";
  // Longer than the run needs however late the recording starts; the player
  // is ended with the test.
  WriteTone(tone, 40.0);
  Child player({"/usr/bin/paplay", "-d", sink.name(), tone.string()});

  platform::GlibLoop loop;
  CountingAudio audio(platform::audio::MakePulseAudioSystem());
  DlgFakes fakes;
  COrvWebRecorderDlg dlg(loop, fakes.Services(audio));
  ASSERT_TRUE(dlg.engine().encoder().isLoaded()) << "libmp3lame is missing";

  platform::html::MemoryPage page;
  AddMainPageElements(page);

  auto writer = NowPlayingWriter::Open();
  ASSERT_TRUE(writer);
  auto publish = [&](const char* artist, const char* title) { Publish(*writer, artist, title); };
  publish("Artist A", "Song A");
  ASSERT_EQ(dlg.OnUiLoaded(&page), 0);
  ASSERT_EQ(platform::ToUtf8(page.Find("NowPlaying")->text), "Artist A - Song A");

  // Songs of about 3.5 s of recorded audio, and one of 0.8 s between them.
  const auto recorded = [&](double seconds) { return [&audio, seconds] { return audio.RecordedSeconds() >= seconds; }; };
  const auto now = [] { return true; };
  const std::string stopped = platform::ToUtf8(LoadMessage(IDS_RECORDING_STOPPED));
  Script script(loop,
                {
                    {"recording", now, [&] { dlg.OnRecordClick(); }},
                    {"3.5 s recorded", recorded(3.5), [&] { publish("Artist B", "Too Short"); }},
                    {"4.3 s recorded", recorded(4.3), [&] { publish("Artist C", "Song C"); }},
                    {"7.8 s recorded", recorded(7.8), [&] { publish("Artist D", "Song/D?"); }},
                    {"11.3 s recorded", recorded(11.3), [&] { dlg.OnRecordClick(); }},
                    {"recording stopped",
                     [&] { return platform::ToUtf8(dlg.log().Contents()).find(stopped) != std::string::npos; }, [] {}},
                },
                {.stepMs = 60000});
  script.Start();
  loop.Run();
  dlg.OnDestroy();
  ASSERT_TRUE(script.completed()) << "waited in vain for: " << script.stuck();

  const std::string log = platform::ToUtf8(dlg.log().Contents());
  EXPECT_NE(log.find(platform::ToUtf8(LoadMessage(IDS_RECORDING_STARTED))), std::string::npos) << log;
  EXPECT_NE(log.find(platform::ToUtf8(LoadMessage(IDS_RECORDING_STOPPED))), std::string::npos) << log;
  EXPECT_NE(log.find(platform::ToUtf8(LoadMessage(IDS_SONG_TOO_SHORT))), std::string::npos) << log;
  EXPECT_NE(log.find("New song Artist D - Song/D? is started in Windows Media Player."), std::string::npos) << log;

  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(songs)) files.insert(entry.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"Artist A - Song A.mp3", "Artist C - Song C.mp3", "Artist D - Song D .mp3"}));

  struct Expected {
    const char* file;
    const char* artist;
    const char* title;
  };
  for (const Expected& e : {Expected{"Artist A - Song A.mp3", "Artist A", "Song A"},
                            Expected{"Artist C - Song C.mp3", "Artist C", "Song C"},
                            Expected{"Artist D - Song D .mp3", "Artist D", "Song/D?"}}) {
    SCOPED_TRACE(e.file);
    const fs::path file = songs / e.file;
    auto probe = media_tools::Probe(file);
    EXPECT_EQ(probe["codec_name"], "mp3");
    EXPECT_EQ(probe["TAG:artist"], e.artist);
    EXPECT_EQ(probe["TAG:title"], e.title);
    EXPECT_EQ(probe["TAG:comment"], "Recorded by https://www.orvello.example/");
    // About 3.5 s of tone each; the bounds only say "a song, not a fragment".
    const double duration = std::atof(probe["duration"].c_str());
    EXPECT_GT(duration, 2.0);
    EXPECT_LT(duration, 6.0);
    std::string errors;
    EXPECT_TRUE(media_tools::DecodesCleanly(file, &errors)) << errors;
    EXPECT_GT(MaxVolumeDb(file), -12.0);  // the tone (-6 dB), not silence
  }
}

}  // namespace
