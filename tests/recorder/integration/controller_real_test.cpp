// The whole recording path for real: the controller on the GLib loop, the
// engine capturing from PulseAudio (the rig's server, a null sink of this
// test's own with a tone played into it), LAME and id3lib, and songs
// published through the now-playing channel by this process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

// The real audio system with a count of what reaches the engine's tap, so
// the script moves on by how much audio was recorded, not by the clock: on
// a loaded machine the capture can start seconds after the click.
class CountingAudio final : public platform::audio::AudioSystem {
 public:
  explicit CountingAudio(std::unique_ptr<platform::audio::AudioSystem> real) : real_(std::move(real)) {}

  HRESULT EnumerateDevices(std::vector<platform::audio::DeviceInfo>& devices) override {
    return real_->EnumerateDevices(devices);
  }
  HRESULT BindCaptureDevice(const std::string& name, std::shared_ptr<platform::audio::CaptureDevice>& device) override {
    return real_->BindCaptureDevice(name, device);
  }
  HRESULT Connect(const std::shared_ptr<platform::audio::CaptureDevice>& device, uint32_t bufferBytes,
                  platform::audio::SampleCallback* tap, std::shared_ptr<platform::audio::Downstream> downstream,
                  std::unique_ptr<platform::audio::CaptureStream>& stream) override {
    taps_.push_back(std::make_unique<CountingTap>(tap, bytes_));
    const HRESULT hr = real_->Connect(device, bufferBytes, taps_.back().get(), std::move(downstream), stream);
    if (platform::SUCCEEDED(hr)) bytesPerSecond_ = stream->Format().avgBytesPerSec;
    return hr;
  }

  void SetLostHandler(std::function<void()> handler) override { real_->SetLostHandler(std::move(handler)); }

  double RecordedSeconds() const {
    return bytesPerSecond_ ? static_cast<double>(bytes_.load()) / bytesPerSecond_ : 0.0;
  }

 private:
  class CountingTap final : public platform::audio::SampleCallback {
   public:
    CountingTap(platform::audio::SampleCallback* inner, std::atomic<uint64_t>& bytes) : inner_(inner), bytes_(bytes) {}
    HRESULT SampleCB(double time, const uint8_t* data, size_t length) override {
      bytes_.fetch_add(length, std::memory_order_relaxed);
      return inner_->SampleCB(time, data, length);
    }

   private:
    platform::audio::SampleCallback* inner_;
    std::atomic<uint64_t>& bytes_;
  };

  std::unique_ptr<platform::audio::AudioSystem> real_;
  std::atomic<uint64_t> bytes_{0};
  uint32_t bytesPerSecond_ = 0;
  // They outlive the streams that call them: this object outlives the engine.
  std::vector<std::unique_ptr<CountingTap>> taps_;
};

// Runs each step on the loop's thread once its condition holds, in order.
// A step that never comes fails the test instead of hanging it.
class Script : public platform::Window {
 public:
  struct Step {
    std::function<bool()> ready;
    std::function<void()> action;
  };
  Script(platform::Loop& loop, std::vector<Step> steps) : Window(loop), steps_(std::move(steps)) {}
  void Start() {
    stepSinceMs_ = loop().NowMs();
    SetTimer(1, 20);
  }
  bool completed() const { return next_ == steps_.size() && !gaveUp_; }

 protected:
  void OnTimer(uint32_t) override {
    while (next_ < steps_.size() && steps_[next_].ready()) {
      steps_[next_++].action();
      stepSinceMs_ = loop().NowMs();
    }
    if (next_ < steps_.size() && loop().NowMs() - stepSinceMs_ > kStepLimitMs) {
      ADD_FAILURE() << "step " << next_ << " never came";
      gaveUp_ = true;
      next_ = steps_.size();
      loop().Quit();
    }
    if (next_ == steps_.size()) KillTimer(1);
  }

 private:
  static constexpr int64_t kStepLimitMs = 60000;
  std::vector<Step> steps_;
  size_t next_ = 0;
  int64_t stepSinceMs_ = 0;
  bool gaveUp_ = false;
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
  // Longer than the run needs however late the recording starts; the player
  // is ended with the test.
  media_tools::WriteWav(tone, media_tools::Tone(44100, 2, 40.0, 1000.0, 0.5), 44100, 2);
  Child player({"/usr/bin/paplay", "-d", sink.name(), tone.string()});

  platform::GlibLoop loop;
  CountingAudio audio(platform::audio::MakePulseAudioSystem());
  WebNotice notices;
  platform::shell::FakeMessageBox boxes;
  NoOptions options;
  DlgServices services;
  services.audio = &audio;
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

  // Songs of about 3.5 s of recorded audio, and one of 0.8 s between them.
  const auto recorded = [&](double seconds) { return [&audio, seconds] { return audio.RecordedSeconds() >= seconds; }; };
  const auto now = [] { return true; };
  const std::string stopped = platform::ToUtf8(LoadMessage(IDS_RECORDING_STOPPED));
  Script script(loop, {
                          {now, [&] { dlg.OnRecordClick(); }},
                          {recorded(3.5), [&] { publish("Artist B", "Too Short"); }},
                          {recorded(4.3), [&] { publish("Artist C", "Song C"); }},
                          {recorded(7.8), [&] { publish("Artist D", "Song/D?"); }},
                          {recorded(11.3), [&] { dlg.OnRecordClick(); }},
                          {[&] { return platform::ToUtf8(dlg.log().Contents()).find(stopped) != std::string::npos; },
                           [&] { loop.Quit(); }},
                      });
  script.Start();
  loop.Run();
  dlg.OnDestroy();
  ASSERT_TRUE(script.completed());

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
