#include "recorder/controller/recorder_dlg.h"

#include <string_view>

#include "platform/player/mpris.h"
#include "platform/text/utf.h"
#include "recorder/core/format.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/nowplaying/page_source.h"
#include "recorder/nowplaying/title_rules.h"
#include "shared/now_playing.h"

namespace orvweb {

using platform::FAILED;
using platform::S_OK;
using platform::shell::MessageBoxButtons;
using platform::shell::MessageBoxIcon;
using platform::shell::MessageBoxResult;

namespace {

constexpr std::string_view kNowPlayingElement = "NowPlaying";
constexpr std::string_view kRecordLabelElement = "RecordLabel";
constexpr std::string_view kIsRecordingElement = "IsRecording";
constexpr std::string_view kGaugeElement = "RecGauge";
constexpr std::string_view kGaugeTableElement = "GaugeTable";

constexpr uint32_t kPlayerSearchMs = 2000;
constexpr uint32_t kPluginCheckMs = 3000;
constexpr uint32_t kAudioRetryMs = 2000;

bool SameRecord(const NowPlayingSnapshot& a, const NowPlayingSnapshot& b) {
  return a.playState == b.playState && a.item.author == b.item.author && a.item.title == b.item.title &&
         a.item.npv == b.item.npv && a.item.sourceUrl == b.item.sourceUrl;
}

// The session given for tests, lent to each fetch.
class LentClient final : public platform::http::Client {
 public:
  explicit LentClient(platform::http::Client& client) : client_(client) {}
  platform::http::Result Get(const std::string& url, const platform::http::Options& options,
                             const platform::http::BodySink& sink) override {
    return client_.Get(url, options, sink);
  }

 private:
  platform::http::Client& client_;
};

std::u16string Trimmed(const std::u16string& text) {
  constexpr std::u16string_view kSpace = u" \t\n\v\f\r";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::u16string::npos) return {};
  const size_t last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

}  // namespace

COrvWebRecorderDlg::COrvWebRecorderDlg(platform::Loop& loop, DlgServices services)
    : Window(loop),
      services_(std::move(services)),
      clock_(services_.clock ? services_.clock : &SystemClock()),
      log_(services_.debugMode) {
  gaugeVisible_ = GetProfileInt(kKeyShowRecLevel, 1) != 0;
  EngineServices engineServices{services_.audio, services_.makeWmaWriter, clock_};
  engine_ = services_.encoderTable
                ? std::make_unique<CRecordingEngine>(this, std::move(engineServices), *services_.encoderTable)
                : std::make_unique<CRecordingEngine>(this, std::move(engineServices));
  if (services_.audio) services_.audio->SetLostHandler([this] { PostMessage(kAudioLostMessage); });
  if (!services_.findPlayerWindow) services_.findPlayerWindow = [] { return platform::player::FindPlayerWindow(); };
  platform::http::Client* lent = services_.pageClient;
  pageFetcher_ = std::make_unique<PageFetcher>(loop, [lent]() -> std::unique_ptr<platform::http::Client> {
    if (lent) return std::make_unique<LentClient>(*lent);
    return platform::http::MakeCurlClient();
  });

  listener_ = platform::ipc::BroadcastListener::Create(NowPlayingMessageNameUtf8());
  if (listener_) {
    // Notices that queued up while the window was busy are read as one: the
    // record is read afresh each time anyway. Before the UI page is bound
    // they are dropped; loading reads the record itself, so the page shows
    // the song that is playing then.
    listenerWatch_ = loop.WatchFd(listener_->fd(), [this] {
      if (listener_->Drain() > 0 && page_ && !destroyed_) OnNowPlayingChanged();
    });
  }
}

COrvWebRecorderDlg::~COrvWebRecorderDlg() {
  pageFetcher_.reset();
  listenerWatch_.reset();
  listener_.reset();
  if (services_.audio) services_.audio->SetLostHandler({});
  // Stops the capture thread while everything it reaches still exists.
  engine_.reset();
}

std::u16string COrvWebRecorderDlg::Caption() const { return LoadMessage(IDS_CAPTION); }

int64_t COrvWebRecorderDlg::NowSeconds() const {
  const int64_t ms = clock_->NowMs();
  return ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
}

void COrvWebRecorderDlg::Notice(std::u16string_view page) {
  if (services_.webNotice) services_.webNotice->Send(page);
}

HRESULT COrvWebRecorderDlg::OnUiLoaded(platform::html::IPage* page) {
  const HRESULT bound = log_.Bind(page);
  if (FAILED(bound)) return bound;
  page_ = page;
  log_.WriteLogId(IDS_UI_LOADED);
  // The page loaded again while songs are being written (its web process
  // died, or it reloaded itself): only the page is bound anew. Rebuilding
  // for monitoring would cut the song short and lose it.
  if (recordingOn_ || engine_->monitorOnly() == 0) {
    if (recordingOn_) page_->SetValue(kIsRecordingElement, u"1");
    return S_OK;
  }
  // Songs left unfinished by crashes are mended before monitoring starts.
  for (const SongRepair& repair : engine_->RepairInterruptedSongs()) {
    log_.WriteLogId(repair.repaired ? IDS_SONG_REPAIRED : IDS_SONG_NOT_REPAIRED, {repair.name});
    if (repair.tooShort) log_.WriteLogId(IDS_SONG_TOO_SHORT);
  }
  SetTimer(kPlayerSearchTimer, kPlayerSearchMs);
  OnNowPlayingChanged();
  const HRESULT built = engine_->RebuildGraph(1);
  if (FAILED(built)) return built;
  return engine_->StartSong(u"", u"", u"");
}

void COrvWebRecorderDlg::OnRecordClick() {
  if (recordingOn_) {
    StopRecording();
  } else {
    StartRecording();
  }
}

void COrvWebRecorderDlg::StopRecording() {
  // Each call in its own statement: the order matters and | leaves it open.
  HRESULT hr = engine_->FinishSong();
  hr |= engine_->RebuildGraph(1);
  hr |= engine_->StartSong(u"", u"", u"");
  KillTimer(kLimitTimer);
  if (FAILED(hr)) {
    log_.WriteLogId(IDS_UNABLE_TO_STOP);
    return;
  }
  log_.WriteLogId(IDS_RECORDING_STOPPED);
  ShowStopped(true);
}

void COrvWebRecorderDlg::ShowStopped(bool wasRecording) {
  if (wasRecording) Notice(kNoticeRecordStopped);
  recordingOn_ = false;
  if (page_) {
    page_->SetValue(kIsRecordingElement, u"0");
    page_->SetInnerHtml(kRecordLabelElement, u"");
  }
  if (wasRecording && services_.tray && services_.tray->IsShown()) {
    services_.tray->Modify(kIdleIcon, platform::shell::CutTrayTip(Caption()));
  }
}

void COrvWebRecorderDlg::OnAudioLost() {
  if (destroyed_) return;
  const bool wasOn = recordingOn_;
  // Finished like any song: header and tags written, the length rule
  // applied. Nothing was captured since the server went, so nothing is lost
  // that could have been kept.
  engine_->FinishSong();
  KillTimer(kLimitTimer);
  KillTimer(kRecordTimeTimer);
  log_.WriteLogId(IDS_SOUND_SERVER_LOST);
  // The run does not come back by itself: a recording that resumed later
  // would hold a gap the user never heard about.
  ShowStopped(wasOn);
  SetGauge(0);
  RetryAudio();
}

void COrvWebRecorderDlg::RetryAudio() {
  // A chain that runs again (a Record click, the options page) is back.
  if (engine_->engineState() == kEngineRunning) {
    KillTimer(kAudioRetryTimer);
    return;
  }
  // Also drops the dead chain, so no song change writes into it meanwhile.
  if (platform::SUCCEEDED(engine_->RebuildGraph(1)) && platform::SUCCEEDED(engine_->StartSong(u"", u"", u""))) {
    KillTimer(kAudioRetryTimer);
    log_.WriteLogId(IDS_SOUND_SERVER_BACK);
    return;
  }
  SetTimer(kAudioRetryTimer, kAudioRetryMs);
}

void COrvWebRecorderDlg::StartRecording() {
  writeFailureTold_ = false;
  HRESULT hr = engine_->RebuildGraph(0);
  hr |= engine_->StartSong(currentArtist_, currentTitle_, currentSourceUrl_);
  if (hr == SONG_ALREADY_RECORDED) {
    // The switch stays off while the graph records: the following songs
    // are recorded, and the next click runs this path again.
    log_.WriteLogId(IDS_SONG_ALREADY_RECORDED);
    engine_->StartSong(u"", u"", u"");
    return;
  }
  if (FAILED(hr)) {
    Notice(kNoticeStartFailed);
    log_.WriteLogId(IDS_UNABLE_TO_START);
    return;
  }
  log_.WriteLogId(IDS_RECORDING_STARTED);
  Notice(kNoticeRecordStarted);
  recordingOn_ = true;
  if (page_) page_->SetValue(kIsRecordingElement, u"1");
  recordingStart_ = NowSeconds();
  if (services_.tray && services_.tray->IsShown()) services_.tray->Modify(kRecordingIcon, std::nullopt);
}

void COrvWebRecorderDlg::OnOptionsClick() {
  // A run that is switched on counts as recording even while the player
  // pauses it; leaving it on across a monitoring rebuild would show a
  // recording that records nothing.
  const bool writing = engine_->engineState() == kEngineRunning && engine_->monitorOnly() == 0;
  if (writing || recordingOn_) {
    const MessageBoxResult answer =
        services_.messageBox ? services_.messageBox->Show(LoadMessage(IDS_STOP_AND_CHANGE_SETTINGS),
                                                          MessageBoxButtons::YesNoCancel, MessageBoxIcon::Exclamation)
                             : MessageBoxResult::Cancel;
    if (answer != MessageBoxResult::Yes) return;
    // Stopped whether or not the switch is on: with it off (songs recorded
    // after a refused start) the toggle would start a run instead.
    StopRecording();
  }
  engine_->FinishSong();
  const int result = services_.optionsPage ? services_.optionsPage->RunModal(this) : kDialogCancel;
  if (result == kDialogOk) {
    SetGauge(0);
    gaugeVisible_ = GetProfileInt(kKeyShowRecLevel, 1) != 0;
    ApplyGaugeVisibility();
    engine_->RebuildGraph(1);
  }
  engine_->StartSong(u"", u"", u"");
}

void COrvWebRecorderDlg::OnVolumeIncClick() {
  engine_->RecordLevelUp();
  log_.WriteLogId(IDS_RECORD_LEVEL_SET, {engine_->GetRecordLevel() * 100});
}

void COrvWebRecorderDlg::OnVolumeDecClick() {
  engine_->RecordLevelDown();
  log_.WriteLogId(IDS_RECORD_LEVEL_SET, {engine_->GetRecordLevel() * 100});
}

void COrvWebRecorderDlg::OnNowPlayingChanged() {
  NowPlayingSnapshot snapshot;
  switch (ReadNowPlaying(snapshot)) {
    case NowPlayingReadResult::NotPresent:
      if (playerStatus_ != kPluginNotDetected) {
        log_.WriteLogId(IDS_PLUGIN_NOT_DETECTED);
        playerStatus_ = kPluginNotDetected;
        SetTimer(kPlayerSearchTimer, kPlayerSearchMs);
      }
      return;
    case NowPlayingReadResult::NothingToRead:
      return;
    case NowPlayingReadResult::Ok:
      break;
  }
  if (playerStatus_ != kPluginDetected) {
    KillTimer(kPluginCheckTimer);
    log_.WriteLogId(IDS_PLUGIN_DETECTED);
    playerStatus_ = kPluginDetected;
  }
  // The plug-in's closing record, read before its section went: no notice
  // follows the section's end, so look for the player again shortly.
  if (snapshot.playState == kPlayStateMediaEnded) SetTimer(kPlayerSearchTimer, kPlayerSearchMs);

  if (recordingOn_ && snapshot.playState == kPlayStatePaused) {
    if (page_) page_->SetText(kNowPlayingElement, LoadMessage(IDS_NOTHING_PLAYING));
    log_.WriteLogId(IDS_PLAYER_PAUSED);
    engine_->FinishSong();
    // The same song after the pause is a new song: it gets a file of its own.
    currentArtist_.clear();
    currentTitle_.clear();
    return;
  }

  NowPlayingItem& item = snapshot.item;
  if (NeedsNowPlayingPage(item.npv, item.author, item.title)) {
    // Read off this thread, one page at a time. A notice that comes while a
    // page is read is looked at when it is in: the record is read afresh then.
    if (pageFetcher_->busy()) return;
    pageRecord_ = snapshot;
    pageFetcher_->Start(item.npv, item.author, item.title,
                        [this](PageFetcher::Result result) { OnPageRead(std::move(result)); });
    return;
  }
  OnSongChanged(std::move(item.author), std::move(item.title), kPlayerSourceName, item.sourceUrl);
}

void COrvWebRecorderDlg::OnPageRead(PageFetcher::Result result) {
  if (destroyed_) return;
  NowPlayingSnapshot now;
  const bool unchanged = ReadNowPlaying(now) == NowPlayingReadResult::Ok && SameRecord(now, pageRecord_);
  if (!unchanged) {
    // The page describes an item that is gone: the record as it is now counts.
    OnNowPlayingChanged();
    return;
  }
  // A page that cannot be read leaves this notice without a song change.
  if (!result.read) return;
  OnSongChanged(std::move(result.author), std::move(result.title), kPlayerSourceName, pageRecord_.item.sourceUrl);
}

void COrvWebRecorderDlg::OnSongChanged(std::u16string artist, std::u16string title, std::u16string_view sourceName,
                                       const std::u16string& sourceUrl) {
  NormalizeNowPlaying(artist, title);
  // Compared joined: "AB" + "C" is the same song as "A" + "BC".
  if (artist + title == currentArtist_ + currentTitle_ && sourceUrl == currentSourceUrl_) return;
  currentArtist_ = artist;
  currentTitle_ = title;
  currentSourceUrl_ = sourceUrl;

  if (engine_->monitorOnly() == 0) {
    // The engine ends the previous song at its true boundary, found in the
    // audio it still holds, and starts this one there.
    if (engine_->SplitSong(artist, title, sourceUrl) == SONG_ALREADY_RECORDED) {
      log_.WriteLogId(IDS_SONG_ALREADY_RECORDED);
      OnRecordClick();
      engine_->StartSong(u"", u"", u"");
      return;
    }
  }

  const std::u16string shownArtist = Trimmed(artist);
  const std::u16string shownTitle = Trimmed(title);
  if (page_) page_->SetText(kNowPlayingElement, shownArtist + u" - " + shownTitle);
  // Formatted once; a "%" in a name is shown as it is.
  log_.WriteLogText(
      FormatText(LoadMessage(IDS_NEW_SONG), {shownArtist, shownTitle, std::u16string(sourceName)}));
}

void COrvWebRecorderDlg::OnDestroy() {
  if (destroyed_) return;
  engine_->FinishSong();
  destroyed_ = true;
  listenerWatch_.reset();
  pageFetcher_.reset();
  KillTimer(kLimitTimer);
  KillTimer(kRecordTimeTimer);
  KillTimer(kPlayerSearchTimer);
  KillTimer(kPluginCheckTimer);
  KillTimer(kAudioRetryTimer);
  log_.Unbind();
  page_ = nullptr;
}

void COrvWebRecorderDlg::SetGauge(unsigned level) {
  if (!page_) return;
  const unsigned width = level * 455u / 100u;  // trunc(level x 4.55)
  page_->SetStyle(kGaugeElement, "width", platform::FromUtf8(std::to_string(width)));
}

void COrvWebRecorderDlg::ApplyGaugeVisibility() {
  if (!page_) return;
  page_->SetStyle(kGaugeTableElement, "visibility", gaugeVisible_ ? u"Visible" : u"Hidden");
}

void COrvWebRecorderDlg::OnMessage(uint32_t msg, uintptr_t wParam, intptr_t /*lParam*/) {
  if (msg == kSongWriteFailedMessage && !destroyed_) OnSongWriteFailed();
  if (msg == kLevelMessage && !destroyed_) SetGauge(static_cast<unsigned>(wParam));
  if (msg == kAudioLostMessage) OnAudioLost();
}

void COrvWebRecorderDlg::OnTimer(uint32_t timerId) {
  if (destroyed_) return;
  switch (timerId) {
    case kLimitTimer:
      CheckLimits();
      break;
    case kRecordTimeTimer:
      ShowRecordTime();
      break;
    case kPlayerSearchTimer:
      LookForPlayer();
      break;
    case kPluginCheckTimer:
      CheckPlugin();
      break;
    case kAudioRetryTimer:
      RetryAudio();
      break;
    default:
      break;
  }
}

void COrvWebRecorderDlg::OnSongWriteFailed() {
  // Told once per run, whether the capture, a finish or the limit check
  // found it first.
  if (writeFailureTold_) return;
  writeFailureTold_ = true;
  // Named from the song's path: asking for the songs folder would create it
  // again where it was removed.
  const std::u16string& song = engine_->songPath();
  const std::u16string folder = song.substr(0, song.find_last_of(u'/') + 1);
  // What was written is finished and kept (header and tags right); the next
  // Record tries again.
  if (recordingOn_ || engine_->monitorOnly() == 0) StopRecording();
  const std::u16string text = FormatText(LoadMessage(IDS_SONGS_FOLDER_UNWRITABLE), {folder});
  log_.WriteLogText(text);
  if (services_.messageBox) {
    services_.messageBox->Show(text, MessageBoxButtons::Ok, MessageBoxIcon::Exclamation);
  }
}

void COrvWebRecorderDlg::CheckLimits() {
  if (engine_->engineState() != kEngineRunning || engine_->monitorOnly() != 0) return;
  if (engine_->SongFileFailed()) {
    OnSongWriteFailed();
    return;
  }
  // Half a second added, then truncated; measured on the UTC clock so that a
  // change of the local time (summer time) never makes a song look long.
  const int64_t spanMs = clock_->NowMs() - engine_->songStartMs() + 500;
  const int64_t seconds = spanMs / 1000;
  const int64_t minutes = spanMs / 60000;
  if (seconds < 10) return;
  // A limit always stops, switched on or not: the toggle's start path would
  // open the same song's file again and so replace what was just recorded.
  if (minutes > 20) {
    StopRecording();
    log_.WriteLogId(IDS_SONG_TOO_LONG);
    return;
  }
  if (engine_->SilenceDuration() / 60 >= 2) {
    StopRecording();
    log_.WriteLogId(IDS_LONG_SILENCE);
  }
}

void COrvWebRecorderDlg::ShowRecordTime() {
  // Without a run switched on there is no start to count from (songs are
  // recorded after a refused start): the label stays empty.
  if (engine_->monitorOnly() != 0 || !recordingOn_) return;
  const int64_t elapsed = NowSeconds() - recordingStart_;
  if (elapsed <= 0) return;
  const std::u16string text = FormatTimeSpan(LoadMessage(IDS_RECORD_TIME), elapsed);
  if (page_) page_->SetInnerHtml(kRecordLabelElement, text);
  if (services_.tray && services_.tray->IsShown()) services_.tray->Modify(std::nullopt, platform::shell::CutTrayTip(text));
}

void COrvWebRecorderDlg::LookForPlayer() {
  // The plug-in's section exists only inside a running player; a player that
  // hosts the plug-in without showing itself on the bus counts as found, or
  // every notice would be followed by "not detected" at the next tick.
  if (services_.findPlayerWindow() || NowPlayingPresent()) {
    KillTimer(kPlayerSearchTimer);
    SetTimer(kPluginCheckTimer, kPluginCheckMs);
    return;
  }
  if (playerStatus_ != kPluginNotDetected) {
    playerStatus_ = kPluginNotDetected;
    log_.WriteLogId(IDS_PLUGIN_NOT_DETECTED);
  }
}

void COrvWebRecorderDlg::CheckPlugin() {
  KillTimer(kPluginCheckTimer);
  // Polling is not resumed: later detection comes from the plug-in's notices.
  if (!NowPlayingPresent() && services_.messageBox) {
    services_.messageBox->Show(LoadMessage(IDS_PLUGIN_NOT_ACTIVE), MessageBoxButtons::Ok,
                               MessageBoxIcon::Exclamation);
  }
}

}  // namespace orvweb
