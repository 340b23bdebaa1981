// The sound server killed in the middle of a song and started again, for
// real: the controller on the GLib loop, the engine capturing from a
// PulseAudio server of the test's own, LAME and id3lib. The song recorded so
// far is kept whole, the window says it no longer records, and the gauge
// moves again once the server is back, without recording by itself.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/html/memory_page.h"
#include "platform/loop/glib_loop.h"
#include "platform/text/utf.h"
#include "real_controller_support.h"
#include "recorder/controller/recorder_dlg.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "shared/now_playing.h"
#include "test_support.h"
#include "tests/platform/asf/media_tools.h"
#include "tests/platform/audio/private_pulse.h"

namespace {

namespace fs = std::filesystem;
using namespace orvweb;
using namespace orvweb::real_controller;
using testing_support::Child;

TEST(SoundServerReal, KilledMidSongAndStartedAgain) {
  RealHome home;
  const fs::path songs = home.songs;

  private_pulse::PrivatePulse server(home.path() / "pulse");
  ASSERT_TRUE(server.ready());
  WriteProfileString(kKeySourceName, u"rec_sink.monitor");
  WriteProfileInt(kKeySourceInput, 0);
  WriteProfileInt(kKeyOutputFormat, kOutputFormatMp3);
  WriteProfileInt(kKeyMinSongLength, 1);
  WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");

  const fs::path tone = home.path() / "tone.wav";
  WriteTone(tone, 60.0);
  auto play = [&] { return std::make_unique<Child>(std::vector<std::string>{"/usr/bin/paplay", "-d", "rec_sink",
                                                                            tone.string()}); };
  std::unique_ptr<Child> player = play();

  platform::GlibLoop loop;
  CountingAudio audio(platform::audio::MakePulseAudioSystem());
  DlgFakes fakes;
  COrvWebRecorderDlg dlg(loop, fakes.Services(audio));
  ASSERT_TRUE(dlg.engine().encoder().isLoaded()) << "libmp3lame is missing";

  platform::html::MemoryPage page;
  AddMainPageElements(page);
  auto writer = NowPlayingWriter::Open();
  ASSERT_TRUE(writer);
  Publish(*writer, "Artist A", "Song A");
  ASSERT_EQ(dlg.OnUiLoaded(&page), 0);

  const fs::path song = songs / "Artist A - Song A.mp3";
  auto logged = [&](int id) {
    return platform::ToUtf8(dlg.log().Contents()).find(platform::ToUtf8(LoadMessage(id))) != std::string::npos;
  };
  auto gaugeMoves = [&] {
    const auto& style = page.Find("RecGauge")->style;
    const auto width = style.find("width");
    return width != style.end() && width->second != u"0";
  };
  double recordingSince = 0;
  Script steps(loop,
               {
                   {"monitoring hears the tone", gaugeMoves, [&] { dlg.OnRecordClick(); }},
                   {"recording started", [&] { return dlg.recordingOn(); },
                    [&] { recordingSince = audio.RecordedSeconds(); }},
                   {"four seconds recorded", [&] { return audio.RecordedSeconds() - recordingSince >= 4.0; },
                    [&] {
                      player.reset();
                      server.Kill();
                    }},
                   {"the loss is shown", [&] { return logged(IDS_SOUND_SERVER_LOST); },
                    [&] { ASSERT_TRUE(server.Start()); }},
                   {"monitoring is back", [&] { return logged(IDS_SOUND_SERVER_BACK); },
                    [&] {
                      EXPECT_EQ(platform::ToUtf8(page.Find("RecGauge")->style.at("width")), "0");
                      player = play();
                    }},
                   {"the gauge moves again", gaugeMoves, [] {}},
               },
               {.totalMs = 60000});
  steps.Start();
  loop.Run();
  const char* stuck = steps.stuck();
  EXPECT_EQ(stuck, nullptr) << "waited in vain for: " << stuck << "\n" << platform::ToUtf8(dlg.log().Contents());
  EXPECT_FALSE(dlg.recordingOn());
  EXPECT_EQ(platform::ToUtf8(page.Find("IsRecording")->value), "0");
  EXPECT_EQ(dlg.engine().monitorOnly(), 1);
  dlg.OnDestroy();
  player.reset();

  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(songs)) files.insert(entry.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{song.filename().string()}));
  auto probe = media_tools::Probe(song);
  EXPECT_EQ(probe["codec_name"], "mp3");
  EXPECT_EQ(probe["TAG:artist"], "Artist A");
  EXPECT_EQ(probe["TAG:title"], "Song A");
  // About four seconds were recorded before the kill; a fragment or a file
  // whose header claims more than its frames would fall outside.
  const double duration = std::atof(probe["duration"].c_str());
  EXPECT_GT(duration, 2.5);
  EXPECT_LT(duration, 8.0);
  std::string errors;
  EXPECT_TRUE(media_tools::DecodesCleanly(song, &errors)) << errors;
}

}  // namespace
