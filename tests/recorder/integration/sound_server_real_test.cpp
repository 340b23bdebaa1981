// The sound server killed in the middle of a song and started again, for
// real: the controller on the GLib loop, the engine capturing from a
// PulseAudio server of the test's own, LAME and id3lib. The song recorded so
// far is kept whole, the window says it no longer records, and the gauge
// moves again once the server is back, without recording by itself.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/html/memory_page.h"
#include "platform/loop/glib_loop.h"
#include "platform/shell/fake_message_box.h"
#include "platform/text/utf.h"
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
using testing_support::Child;
using testing_support::ScopedEnv;
using testing_support::TempDir;

// Runs each step's action once its condition holds, in order, on the loop's
// thread; quits when all ran or the deadline passed.
class Steps : public platform::Window {
 public:
  struct Step {
    const char* name;
    std::function<bool()> ready;
    std::function<void()> action;
  };
  Steps(platform::Loop& loop, std::vector<Step> steps, int64_t deadlineMs)
      : Window(loop), steps_(std::move(steps)), deadlineMs_(deadlineMs) {}
  void Start() {
    startMs_ = loop().NowMs();
    SetTimer(1, 50);
  }
  // The step that did not come, or nullptr when all ran.
  const char* stuck() const { return next_ < steps_.size() ? steps_[next_].name : nullptr; }

 protected:
  void OnTimer(uint32_t) override {
    while (next_ < steps_.size() && steps_[next_].ready()) steps_[next_++].action();
    if (next_ == steps_.size() || loop().NowMs() - startMs_ > deadlineMs_) {
      KillTimer(1);
      loop().Quit();
    }
  }

 private:
  std::vector<Step> steps_;
  size_t next_ = 0;
  int64_t startMs_ = 0;
  int64_t deadlineMs_;
};

class NoOptions : public IOptionsPage {
 public:
  int RunModal(platform::Window*) override { return kDialogCancel; }
};

TEST(SoundServerReal, KilledMidSongAndStartedAgain) {
  TempDir home;
  const fs::path runtime = home.path() / "runtime";
  fs::create_directories(runtime);
  ::chmod(runtime.c_str(), 0700);
  const fs::path songs = home.path() / "songs";
  ScopedEnv homeEnv("HOME", home.path().string());
  ScopedEnv configEnv("XDG_CONFIG_HOME", (home.path() / "config").string());
  ScopedEnv stateEnv("XDG_STATE_HOME", (home.path() / "state").string());
  ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime.string());
  ScopedEnv languageEnv("LANGUAGE", "en");
  ScopedEnv noticeEnv("ORVWEB_NOTICE_BASE", "http://127.0.0.1:9/notice");
  ScopedEnv noProxy("no_proxy", "127.0.0.1");

  private_pulse::PrivatePulse server(home.path() / "pulse");
  ASSERT_TRUE(server.ready());
  WriteProfileString(kKeySourceName, u"rec_sink.monitor");
  WriteProfileInt(kKeySourceInput, 0);
  WriteProfileInt(kKeyOutputFormat, kOutputFormatMp3);
  WriteProfileInt(kKeyMinSongLength, 1);
  WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");

  const fs::path tone = home.path() / "tone.wav";
  media_tools::WriteWav(tone, media_tools::Tone(44100, 2, 60.0, 1000.0, 0.5), 44100, 2);
  auto play = [&] { return std::make_unique<Child>(std::vector<std::string>{"/usr/bin/paplay", "-d", "rec_sink",
                                                                            tone.string()}); };
  std::unique_ptr<Child> player = play();

  platform::GlibLoop loop;
  auto audio = platform::audio::MakePulseAudioSystem();
  WebNotice notices;
  platform::shell::FakeMessageBox boxes;
  NoOptions options;
  DlgServices services;
  services.audio = audio.get();
  services.webNotice = &notices;
  services.messageBox = &boxes;
  services.optionsPage = &options;
  COrvWebRecorderDlg dlg(loop, std::move(services));
  ASSERT_TRUE(dlg.engine().encoder().isLoaded()) << "libmp3lame is missing";

  platform::html::MemoryPage page;
  for (const char* id : {"NowPlaying", "RecordLabel", "RecGauge", "GaugeTable", "IsRecording"}) page.AddElement(id);
  page.AddElement("Log", "textarea");
  auto writer = NowPlayingWriter::Open();
  ASSERT_TRUE(writer);
  writer->WriteFull(kPlayStatePlaying, NowPlayingItem{u"Artist A", u"Song A", u"", u"http://127.0.0.1:8000/r.mp3"});
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
  int64_t recordingSince = 0;
  Steps steps(loop,
              {
                  {"monitoring hears the tone", gaugeMoves, [&] { dlg.OnRecordClick(); }},
                  {"recording started", [&] { return dlg.recordingOn(); },
                   [&] { recordingSince = loop.NowMs(); }},
                  {"four seconds recorded", [&] { return loop.NowMs() - recordingSince >= 4000; },
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
              60000);
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
