// The sound server killed in the middle of a song and started again, for
// real: the controller on the GLib loop, the engine capturing from a
// PulseAudio server of the test's own, LAME and id3lib. The song recorded so
// far is kept whole, the window says it no longer records, and the gauge
// moves again once the server is back, without recording by itself.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

// The real audio system with a count of what reaches the engine's tap: the
// test moves on by how much audio was recorded, since on a loaded machine a
// capture can start well after the click.
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
  double Seconds() const { return bytesPerSecond_ ? static_cast<double>(bytes_.load()) / bytesPerSecond_ : 0.0; }

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
  std::vector<std::unique_ptr<CountingTap>> taps_;  // outlive the streams that call them
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
  double recordingSince = 0;
  Steps steps(loop,
              {
                  {"monitoring hears the tone", gaugeMoves, [&] { dlg.OnRecordClick(); }},
                  {"recording started", [&] { return dlg.recordingOn(); },
                   [&] { recordingSince = audio.Seconds(); }},
                  {"four seconds recorded", [&] { return audio.Seconds() - recordingSince >= 4.0; },
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
