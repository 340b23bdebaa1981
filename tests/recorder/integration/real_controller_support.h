#pragma once
// What the real controller tests share: a home of the test's own, the real
// audio system with a count of what reached the engine, a null sink and a
// tone to play into it, the dialog's other services, and a script of steps
// that waits for conditions on the loop instead of the clock.
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/html/memory_page.h"
#include "platform/loop/loop.h"
#include "platform/shell/fake_message_box.h"
#include "platform/text/utf.h"
#include "recorder/controller/recorder_dlg.h"
#include "shared/now_playing.h"
#include "test_support.h"
#include "tests/platform/asf/media_tools.h"

namespace orvweb::real_controller {

// HOME, the XDG folders and the language of the test's own, the songs
// folder inside; notices go to a port where nobody listens: refused at once.
struct RealHome {
  RealHome() {
    std::filesystem::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
  }
  const std::filesystem::path& path() const { return dir.path(); }

  testing_support::TempDir dir;
  std::filesystem::path runtime = dir.path() / "runtime";
  std::filesystem::path songs = dir.path() / "songs";
  testing_support::ScopedEnv homeEnv{"HOME", dir.path().string()};
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", (dir.path() / "config").string()};
  testing_support::ScopedEnv stateEnv{"XDG_STATE_HOME", (dir.path() / "state").string()};
  testing_support::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtime.string()};
  testing_support::ScopedEnv languageEnv{"LANGUAGE", "en"};
  testing_support::ScopedEnv noticeEnv{"ORVWEB_NOTICE_BASE", "http://127.0.0.1:9/notice"};
  testing_support::ScopedEnv noProxy{"no_proxy", "127.0.0.1"};
};

using media_tools::ScopedNullSink;

// A 1 kHz tone at -6 dB, 44.1 kHz stereo, for paplay to play into a sink.
inline void WriteTone(const std::filesystem::path& file, double seconds) {
  media_tools::WriteWav(file, media_tools::Tone(44100, 2, seconds, 1000.0, 0.5), 44100, 2);
}

// The real audio system with a count of what reaches the engine's tap, so
// a test moves on by how much audio was recorded, not by the clock: on a
// loaded machine the capture can start seconds after the click.
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

class NoOptions : public IOptionsPage {
 public:
  int RunModal(platform::Window*) override { return kDialogCancel; }
};

// The dialog's services besides the sound: message boxes kept for the test
// to read, no Options dialog.
struct DlgFakes {
  DlgServices Services(platform::audio::AudioSystem& audio) {
    DlgServices services;
    services.audio = &audio;
    services.webNotice = &notices;
    services.messageBox = &boxes;
    services.optionsPage = &options;
    return services;
  }

  WebNotice notices;
  platform::shell::FakeMessageBox boxes;
  NoOptions options;
};

// The elements of the main page the controller writes to.
inline void AddMainPageElements(platform::html::MemoryPage& page) {
  for (const char* id : {"NowPlaying", "RecordLabel", "RecGauge", "GaugeTable", "IsRecording"}) page.AddElement(id);
  page.AddElement("Log", "textarea");
}

// What a player's plug-in publishes for a radio song.
inline void Publish(NowPlayingWriter& writer, const char* artist, const char* title) {
  writer.WriteFull(kPlayStatePlaying, NowPlayingItem{platform::FromUtf8(artist), platform::FromUtf8(title), u"",
                                                     u"http://127.0.0.1:8000/radio.mp3"});
}

// Runs each step's action (if any) on the loop's thread once its condition
// holds, in order, and quits the loop when all ran. A step that does not come within
// `stepMs` of the one before, or steps not all run within `totalMs`, quit the
// loop too and stuck() names the step: the test fails instead of hanging.
class Script : public platform::Window {
 public:
  struct Step {
    const char* name;
    std::function<bool()> ready;
    std::function<void()> action;
  };
  struct Limits {
    int64_t stepMs = std::numeric_limits<int64_t>::max();
    int64_t totalMs = std::numeric_limits<int64_t>::max();
  };
  Script(platform::Loop& loop, std::vector<Step> steps, Limits limits)
      : Window(loop), steps_(std::move(steps)), limits_(limits) {}
  void Start() {
    startMs_ = stepSinceMs_ = loop().NowMs();
    SetTimer(1, 20);
  }
  // The step that did not come, or nullptr when all ran.
  const char* stuck() const { return next_ < steps_.size() ? steps_[next_].name : nullptr; }
  bool completed() const { return next_ == steps_.size(); }

 protected:
  void OnTimer(uint32_t) override {
    while (next_ < steps_.size() && steps_[next_].ready()) {
      if (const auto& action = steps_[next_++].action) action();
      stepSinceMs_ = loop().NowMs();
    }
    const int64_t now = loop().NowMs();
    if (completed() || now - stepSinceMs_ > limits_.stepMs || now - startMs_ > limits_.totalMs) {
      KillTimer(1);
      loop().Quit();
    }
  }

 private:
  std::vector<Step> steps_;
  Limits limits_;
  size_t next_ = 0;
  int64_t startMs_ = 0;
  int64_t stepSinceMs_ = 0;
};

}  // namespace orvweb::real_controller
