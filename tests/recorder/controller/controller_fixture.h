#pragma once
// The main window's controller on a FakeLoop with an in-memory page, a fake
// capture device, scripted encoder, message box, options page, tray and
// notices, a temporary songs folder, and the real now-playing channel
// written by the test itself.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/audio/fake_audio.h"
#include "platform/html/memory_page.h"
#include "platform/http/fake_client.h"
#include "platform/loop/fake_loop.h"
#include "platform/shell/fake_message_box.h"
#include "platform/shell/fake_tray_item.h"
#include "platform/text/utf.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/controller/recorder_dlg.h"
#include "shared/now_playing.h"
#include "test_support.h"
#include "tests/recorder/engine/engine_fakes.h"

namespace controller_test {

namespace fs = std::filesystem;
using orvweb::COrvWebRecorderDlg;

// Wall time that moves with the loop's virtual clock, plus jumps the test
// makes without running any timer. Local time is UTC so names are fixed.
class LoopClock : public orvweb::Clock {
 public:
  LoopClock(const platform::FakeLoop& loop, int64_t epochMs) : loop_(loop), epochMs_(epochMs) {}
  int64_t NowMs() const override { return epochMs_ + jumpMs_.load() + loop_.NowMs(); }
  bool LocalTime(int64_t utcMs, std::tm& local) const override {
    const std::time_t seconds = static_cast<std::time_t>(utcMs / 1000);
    return ::gmtime_r(&seconds, &local) != nullptr;
  }
  void Jump(int64_t ms) { jumpMs_ += ms; }

 private:
  const platform::FakeLoop& loop_;
  const int64_t epochMs_;
  std::atomic<int64_t> jumpMs_{0};
};

class FakeNotice : public orvweb::IWebNotice {
 public:
  void Send(std::u16string_view page) override { pages.push_back(platform::ToUtf8(page)); }
  std::vector<std::string> pages;
};

class FakeOptionsPage : public orvweb::IOptionsPage {
 public:
  int RunModal(platform::Window* owner) override {
    owners.push_back(owner);
    if (onRun) onRun();
    return result;
  }
  int result = orvweb::kDialogCancel;
  std::function<void()> onRun;
  std::vector<platform::Window*> owners;
};

// The controller only changes an icon that is shown; the window adds it.
using FakeTray = platform::shell::FakeTrayItem;

inline std::string M(int id) { return platform::ToUtf8(orvweb::LoadMessage(id)); }
inline std::u16string U(const std::string& s) { return platform::FromUtf8(s); }

// 2005-03-05 14:30:15 UTC.
inline constexpr int64_t kEpochMs = engine_test::kMarch5th2005;

class Controller : public ::testing::Test {
 protected:
  Controller() {
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    orvweb::WriteProfileString(orvweb::kKeySongsFolder, U(songs.string()) + u"/");
    orvweb::WriteProfileString(orvweb::kKeySourceName, u"rec_sink.monitor");
    orvweb::WriteProfileInt(orvweb::kKeyOutputFormat, orvweb::kOutputFormatMp3);
    // Songs split the moment the title changes; the look-back has its own tests.
    orvweb::WriteProfileInt(orvweb::kKeySplitSearch, 0);
    audio.AddDevice(device);
    for (const char* id : {"NowPlaying", "RecordLabel", "RecGauge", "GaugeTable"}) page.AddElement(id);
    page.AddElement("Log", "textarea");
    page.AddElement("IsRecording", "input");
  }

  void SetUp() override { MakeDialog(); }

  // pageClient: the describing pages' session; nullptr: web.
  void MakeDialog(platform::http::Client* pageClient = nullptr) {
    orvweb::DlgServices services;
    services.audio = &audio;
    services.clock = &clock;
    services.encoderTable = lame.Table();
    services.webNotice = &notices;
    services.messageBox = &boxes;
    services.optionsPage = &options;
    services.tray = &tray;
    services.pageClient = pageClient ? pageClient : &web;
    services.findPlayerWindow = [this] { return playerRunning; };
    dlg = std::make_unique<COrvWebRecorderDlg>(loop, std::move(services));
  }

  // The plug-in side of the channel.
  void OpenWriter() {
    writer = orvweb::NowPlayingWriter::Open();
    ASSERT_TRUE(writer);
  }
  void Publish(const std::string& author, const std::string& title, const std::string& url = "",
               int32_t state = orvweb::kPlayStatePlaying, const std::string& npv = "") {
    if (!writer) OpenWriter();
    writer->WriteFull(state, orvweb::NowPlayingItem{U(author), U(title), U(npv), U(url)});
    loop.RunPending();
    SettlePage();
  }
  // Lets a describing page that is being read come in and be applied.
  void SettlePage() {
    ASSERT_TRUE(testing_support::WaitUntil([this] {
      loop.RunPending();
      return !dlg->pageFetchBusy();
    }));
  }
  void PublishState(int32_t state) {
    writer->WriteState(state);
    loop.RunPending();
  }

  void Load() { ASSERT_EQ(dlg->OnUiLoaded(&page), 0); }
  void Advance(int64_t ms) { loop.Advance(ms); }
  // One loud buffer through the capture thread: the input is heard now.
  void Sound() {
    ASSERT_TRUE(audio.lastStream()->Deliver(std::vector<int16_t>(1764, 20000)));
    loop.RunPending();
  }

  // The log's texts, oldest first, without their time stamps.
  std::vector<std::string> Logged() const {
    std::vector<std::string> lines;
    const std::string all = platform::ToUtf8(dlg->log().Contents());
    size_t start = 0;
    while (start < all.size()) {
      const size_t end = all.find('\n', start);
      lines.push_back(all.substr(start + 9, end - start - 9));  // "HH:MM:SS "
      start = end + 1;
    }
    std::reverse(lines.begin(), lines.end());
    return lines;
  }
  std::vector<std::string> LoggedSince(size_t from) const {
    auto all = Logged();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
  }
  size_t LogSize() const { return Logged().size(); }

  std::string Text(const char* id) const { return platform::ToUtf8(page.Find(id)->text); }
  std::string Html(const char* id) const { return platform::ToUtf8(page.Find(id)->innerHtml); }
  std::string Value(const char* id) const { return platform::ToUtf8(page.Find(id)->value); }

  std::set<std::string> SongFiles() const {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(songs, ec)) names.insert(entry.path().filename().string());
    return names;
  }
  int EncoderStreams() const {
    const auto calls = lame.Calls();
    return static_cast<int>(std::count(calls.begin(), calls.end(), "init"));
  }
  bool Recording() const {
    return dlg->engine().engineState() == orvweb::kEngineRunning && dlg->engine().monitorOnly() == 0;
  }
  bool Monitoring() const {
    return dlg->engine().engineState() == orvweb::kEngineRunning && dlg->engine().monitorOnly() == 1;
  }

  testing_support::TempDir home;
  fs::path songs = home.path() / "songs";
  fs::path runtime = home.path() / "runtime";
  testing_support::ScopedEnv homeEnv{"HOME", home.path().string()};
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", (home.path() / "config").string()};
  testing_support::ScopedEnv stateEnv{"XDG_STATE_HOME", (home.path() / "state").string()};
  testing_support::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtime.string()};
  testing_support::ScopedEnv languageEnv{"LANGUAGE", "en"};

  platform::FakeLoop loop;
  LoopClock clock{loop, kEpochMs};
  platform::audio::FakeAudioSystem audio;
  std::shared_ptr<platform::audio::FakeCaptureDevice> device =
      platform::audio::FakeCaptureDevice::Make("rec_sink.monitor", u"RecSink", 1);
  engine_test::FakeLame lame;
  platform::html::MemoryPage page;
  FakeNotice notices;
  platform::shell::FakeMessageBox boxes;
  FakeOptionsPage options;
  FakeTray tray;
  platform::http::FakeClient web;
  bool playerRunning = false;

  std::unique_ptr<orvweb::NowPlayingWriter> writer;
  std::unique_ptr<COrvWebRecorderDlg> dlg;
};

}  // namespace controller_test
