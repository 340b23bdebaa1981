// The whole recording path for real: the controller on the GLib loop, the
// engine capturing from PulseAudio (the rig's server, a null sink of this
// test's own with a tone played into it), LAME and id3lib, and songs
// published through the now-playing channel by this process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
using testing_support::Child;
using testing_support::ScopedEnv;
using testing_support::TempDir;

std::string Trim(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  return s;
}

// The loudest sample of the decoded file in dB of full scale; -1000 when
// ffmpeg says nothing.
double MaxVolumeDb(const fs::path& file) {
  const auto r = media_tools::Run({"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-i", file.string(), "-af",
                                   "volumedetect", "-f", "null", "-"});
  const auto at = r.err.find("max_volume: ");
  return at == std::string::npos ? -1000.0 : std::atof(r.err.c_str() + at + 12);
}

// A null sink of the test's own, so other tests playing into the rig's sink
// do not mix into this one.
class ScopedNullSink {
 public:
  explicit ScopedNullSink(std::string name) : name_(std::move(name)) {
    module_ = Trim(media_tools::Run({"/usr/bin/pactl", "load-module", "module-null-sink", "sink_name=" + name_,
                                     "sink_properties=device.description=" + name_})
                       .out);
  }
  ~ScopedNullSink() {
    if (!module_.empty()) media_tools::Run({"/usr/bin/pactl", "unload-module", module_});
  }
  bool loaded() const { return !module_.empty(); }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::string module_;
};

// Runs steps at their times (ms after Start) on the loop's thread.
class Script : public platform::Window {
 public:
  struct Step {
    int64_t atMs;
    std::function<void()> action;
  };
  Script(platform::Loop& loop, std::vector<Step> steps) : Window(loop), steps_(std::move(steps)) {}
  void Start() {
    startMs_ = loop().NowMs();
    SetTimer(1, 50);
  }

 protected:
  void OnTimer(uint32_t) override {
    while (next_ < steps_.size() && loop().NowMs() - startMs_ >= steps_[next_].atMs) steps_[next_++].action();
    if (next_ == steps_.size()) KillTimer(1);
  }

 private:
  std::vector<Step> steps_;
  size_t next_ = 0;
  int64_t startMs_ = 0;
};

class NoOptions : public IOptionsPage {
 public:
  int RunModal(platform::Window*) override { return kDialogCancel; }
};

TEST(ControllerReal, PublishedSongsBecomeNamedTaggedMp3Files) {
  const char* server = std::getenv("PULSE_SERVER");
  ASSERT_TRUE(server && *server) << "PULSE_SERVER is not set: run the tests inside scripts/rig";

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
  // Notices go to a port where nobody listens: refused at once.
  ScopedEnv noticeEnv("ORVWEB_NOTICE_BASE", "http://127.0.0.1:9/notice");
  ScopedEnv noProxy("no_proxy", "127.0.0.1");

  ScopedNullSink sink("orvweb_controller_" + std::to_string(::getpid()));
  ASSERT_TRUE(sink.loaded());
  WriteProfileString(kKeySourceName, platform::FromUtf8(sink.name() + ".monitor"));
  WriteProfileInt(kKeySourceInput, 0);
  WriteProfileInt(kKeyOutputFormat, kOutputFormatMp3);
  WriteProfileInt(kKeyMinSongLength, 2);
  WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");

  const fs::path tone = home.path() / "tone.wav";
  media_tools::WriteWav(tone, media_tools::Tone(44100, 2, 16.0, 1000.0, 0.5), 44100, 2);
  Child player({"/usr/bin/paplay", "-d", sink.name(), tone.string()});

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
  auto publish = [&](const char* artist, const char* title) {
    writer->WriteFull(kPlayStatePlaying, NowPlayingItem{platform::FromUtf8(artist), platform::FromUtf8(title), u"",
                                                        u"http://127.0.0.1:8000/radio.mp3"});
  };
  publish("Artist A", "Song A");
  ASSERT_EQ(dlg.OnUiLoaded(&page), 0);
  ASSERT_EQ(platform::ToUtf8(page.Find("NowPlaying")->text), "Artist A - Song A");

  Script script(loop, {
                          {500, [&] { dlg.OnRecordClick(); }},
                          {4000, [&] { publish("Artist B", "Too Short"); }},
                          {4800, [&] { publish("Artist C", "Song C"); }},
                          {8300, [&] { publish("Artist D", "Song/D?"); }},
                          {11800, [&] { dlg.OnRecordClick(); }},
                          {12000, [&] { loop.Quit(); }},
                      });
  script.Start();
  loop.Run();
  dlg.OnDestroy();

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
