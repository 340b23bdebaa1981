#pragma once
// The main window's recording controller: it follows the player through the
// now-playing channel, decides when the engine starts, splits and finishes
// song files, enforces the song-length and silence limits, keeps the
// record-time label and the tray tip in step, and logs every decision.
// Everything runs on the window's loop thread; the capture thread only posts
// level messages and reads ShowRecLevel().
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/asf/asf.h"
#include "platform/audio/audio.h"
#include "platform/html/page.h"
#include "platform/http/http.h"
#include "platform/ipc/ipc.h"
#include "platform/loop/loop.h"
#include "platform/shell/message_box.h"
#include "platform/shell/tray_icon.h"
#include "recorder/core/message_log.h"
#include "recorder/controller/options_page.h"
#include "recorder/core/web_notice.h"
#include "recorder/engine/clock.h"
#include "recorder/engine/recording_engine.h"
#include "recorder/nowplaying/page_source.h"
#include "shared/now_playing.h"

namespace orvweb {

// Timers of the main window besides the engine's song timers (2 and 3).
inline constexpr uint32_t kPlayerSearchTimer = 4;  // every 2 s until the player shows
inline constexpr uint32_t kPluginCheckTimer = 5;   // once, 3 s after the player showed
inline constexpr uint32_t kAudioRetryTimer = 8;    // every 2 s while the sound server is gone

// Posted by the audio system's capture thread: capture ended without a stop.
inline constexpr uint32_t kAudioLostMessage = 0x0400 + 50;

// Icon resources: idle and recording.
inline constexpr int kIdleIcon = 128;
inline constexpr int kRecordingIcon = 16;

// The source named in the new-song line.
inline constexpr std::u16string_view kPlayerSourceName = u"Windows Media Player";

// What the plug-in detection has found so far.
inline constexpr int kPlayerUnknown = 0;
inline constexpr int kPluginNotDetected = 1;
inline constexpr int kPluginDetected = 2;

struct DlgServices {
  platform::audio::AudioSystem* audio = nullptr;
  std::function<std::shared_ptr<platform::asf::WmaWriter>()> makeWmaWriter;
  // Seconds since 1970 and the local date-time; nullptr: the system clock.
  // The engine is given the same clock.
  const Clock* clock = nullptr;
  // The encoder's entry points; nullopt: the LAME library.
  std::optional<Mp3EncoderTable> encoderTable;
  IWebNotice* webNotice = nullptr;
  platform::shell::IMessageBox* messageBox = nullptr;
  IOptionsPage* optionsPage = nullptr;
  platform::shell::ITrayIcon* tray = nullptr;
  // The session for describing pages; nullptr: a new real session per fetch.
  platform::http::Client* pageClient = nullptr;
  // Whether the player is running; empty: an MPRIS player on the session bus.
  std::function<bool()> findPlayerWindow;
  bool debugMode = false;
};

class COrvWebRecorderDlg : public platform::Window, public IEngineOwner {
 public:
  // Starts listening for the now-playing notice at once, as the window of
  // the original program receives it from its creation.
  COrvWebRecorderDlg(platform::Loop& loop, DlgServices services);
  ~COrvWebRecorderDlg() override;

  // The UI page has loaded: binds the log, starts looking for the player,
  // reads the channel once and starts level monitoring. A failure ends the
  // program (the caller shows the load failure).
  HRESULT OnUiLoaded(platform::html::IPage* page);
  // The Record switch: starts a recording run when none is on, else stops it.
  void OnRecordClick();
  void OnOptionsClick();
  void OnVolumeIncClick();
  void OnVolumeDecClick();
  void OnNowPlayingChanged();
  void OnSongChanged(std::u16string artist, std::u16string title, std::u16string_view sourceName,
                     const std::u16string& sourceUrl);
  // The window is going away: the current song is finished.
  void OnDestroy();

  // The level gauge: width for a level in percent, and its visibility.
  void SetGauge(unsigned level);
  void ApplyGaugeVisibility();

  // IEngineOwner.
  platform::Window* EngineWindow() override { return destroyed_ ? nullptr : this; }
  // No levels are posted while nobody can see the window: each one would
  // wake this thread for nothing.
  bool ShowRecLevel() const override {
    return gaugeVisible_.load(std::memory_order_relaxed) && windowSeen_.load(std::memory_order_relaxed);
  }
  void SetWindowSeen(bool seen) { windowSeen_.store(seen, std::memory_order_relaxed); }
  void WriteLogId(int id) override { log_.WriteLogId(id); }
  void WriteLogText(const std::u16string& text) override { log_.WriteLogText(text); }

  CRecordingEngine& engine() { return *engine_; }
  MessageLog& log() { return log_; }
  std::u16string Caption() const;

  const std::u16string& currentArtist() const { return currentArtist_; }
  const std::u16string& currentTitle() const { return currentTitle_; }
  const std::u16string& currentSourceUrl() const { return currentSourceUrl_; }
  int playerStatus() const { return playerStatus_; }
  bool recordingOn() const { return recordingOn_; }
  // A describing page is being read.
  bool pageFetchBusy() const { return pageFetcher_ && pageFetcher_->busy(); }
  int64_t recordingStart() const { return recordingStart_; }

 protected:
  void OnMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  void OnTimer(uint32_t timerId) override;

 private:
  void StartRecording();
  void StopRecording();
  // The page, the web notice and the tray after a run ended; the notice and
  // the tray only when a recording was on.
  void ShowStopped(bool wasRecording);
  void CheckLimits();
  // The song file cannot be written: finish, stop and tell the user.
  void OnSongWriteFailed();
  void ShowRecordTime();
  void LookForPlayer();
  void CheckPlugin();
  void Notice(std::u16string_view page);
  // The sound server went away: the song so far is kept, the run ends.
  void OnAudioLost();
  // Builds monitoring again once the server answers; until then the timer retries.
  void RetryAudio();
  void OnPageRead(PageFetcher::Result result);
  int64_t NowSeconds() const;

  DlgServices services_;
  const Clock* const clock_;
  MessageLog log_;
  platform::html::IPage* page_ = nullptr;
  std::unique_ptr<CRecordingEngine> engine_;
  std::unique_ptr<platform::ipc::BroadcastListener> listener_;
  std::unique_ptr<platform::FdWatch> listenerWatch_;

  std::u16string currentArtist_;
  std::u16string currentTitle_;
  std::u16string currentSourceUrl_;
  int playerStatus_ = kPlayerUnknown;
  int64_t recordingStart_ = 0;
  bool recordingOn_ = false;
  std::atomic<bool> gaugeVisible_{true};
  std::atomic<bool> windowSeen_{true};
  bool destroyed_ = false;
  // The user was told of a failed write in this recording run.
  bool writeFailureTold_ = false;
  std::unique_ptr<PageFetcher> pageFetcher_;
  // The record whose describing page is being read.
  NowPlayingSnapshot pageRecord_;
};

}  // namespace orvweb
