#include "recorder/ui/main_window.h"

#include <algorithm>

#include "platform/text/utf.h"
#include "recorder/core/messages.h"
#include "recorder/core/settings.h"
#include "recorder/engine/mp3_encoder.h"

namespace orvweb::ui {

using platform::shell::MessageBoxButtons;
using platform::shell::MessageBoxIcon;

std::string AsciiLower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return text;
}

bool IsPageUrl(const std::string& url, const std::string& pageUrl) {
  return !pageUrl.empty() && AsciiLower(url).find(AsciiLower(pageUrl)) != std::string::npos;
}

std::optional<std::pair<int, int>> ProbeLameEncoder() {
  CMp3Encoder encoder;
  if (!encoder.isLoaded()) return std::nullopt;
  return encoder.GetVersion();
}

platform::html::DialogTemplate MainWindowTemplate(const MainWindowServices& services) {
  platform::html::DialogTemplate t;
  t.caption = LoadMessage(IDS_CAPTION);
  t.widthDlu = 485;
  t.heightDlu = 313;
  t.minimizeBox = true;
  t.helpKey = true;
  t.debugMode = services.debugMode;
  t.watchedIds = {kRecordButton, kOptionsButton, kOpenSongsButton, kHelpButton, kVolumeInc, kVolumeDec,
                  "NowPlaying",  "RecordLabel",  "IsRecording",    "Log",       "GaugeTable", "RecGauge"};
  t.iconFiles = services.iconFiles;
  t.resources = services.resources;
  t.loadingPageUrl = kLoadingPageUrl;
  return t;
}

CMainWindow::CMainWindow(COrvWebRecorderDlg& dlg, MainWindowServices services)
    : dlg_(dlg), services_(std::move(services)), uiPageUrl_(platform::ToUtf8(LoadMessage(IDS_UI_PAGE))) {
  if (!services_.probeEncoder) services_.probeEncoder = ProbeLameEncoder;
  platform::html::DialogHandlers handlers;
  handlers.documentComplete = [this](const std::string& url) { OnDocumentComplete(url); };
  handlers.pageEvent = [this](const platform::html::PageEvent& event) { OnPageEvent(event); };
  handlers.closeRequested = [this] { OnCloseRequested(); };
  handlers.minimized = [this] { ShowInTray(); };
  handlers.webProcessGone = [this] { OnWebProcessGone(); };
  handlers.seenChanged = [this](bool seen) { OnSeenChanged(seen); };
  // Drop target off, icon and caption come with the window itself.
  host_ = services_.makeHost(MainWindowTemplate(services_), std::move(handlers), nullptr);
  live_ = std::make_unique<platform::html::LivePage>(dlg_.loop(), host_->page(), kGaugeIntervalMs);
  if (services_.tray) {
    services_.tray->SetHandlers([this] { OnTrayActivated(); }, [this] { OnTrayHostGone(); });
  }
  const std::u16string about = LoadMessage(IDS_ABOUTBOX);
  if (services_.showAbout && !about.empty()) host_->AddMenuEntry(about, services_.showAbout);
  // A check that fails stays silent: the checker reports nothing to the window.
  if (services_.startUpdateCheck) services_.startUpdateCheck();
}

CMainWindow::~CMainWindow() {
  if (services_.tray) {
    services_.tray->SetHandlers(nullptr, nullptr);
    if (services_.tray->IsShown()) services_.tray->Remove();
  }
  // The controller must not write into a page that is going away.
  if (!closed_) dlg_.OnDestroy();
}

int CMainWindow::Run() {
  host_->ShowLoadingPage();
  const int result = host_->RunModal();
  closed_ = true;
  dlg_.OnDestroy();
  return result;
}

void CMainWindow::Close(int result) {
  closed_ = true;
  dlg_.OnDestroy();
  host_->EndModal(result);
}

void CMainWindow::OnDocumentComplete(const std::string& url) {
  if (closed_) return;
  if (IsResourceUrl(url)) {
    // The loading page stays on screen until the UI page has been bound.
    host_->SetPaintingSuspended(true);
    host_->Navigate(uiPageUrl_);
    return;
  }
  if (!IsPageUrl(url, uiPageUrl_)) return;
  // A new document: nothing of what the old one was sent is on it.
  live_->Reset();
  const platform::HRESULT hr = dlg_.OnUiLoaded(live_.get());
  host_->SetPaintingSuspended(false);
  if (platform::FAILED(hr)) {
    bound_ = false;
    loadFailed_ = true;
    host_->Hide();
    Close(kDialogCancel);
    if (services_.messageBox) {
      services_.messageBox->Show(LoadMessage(IDS_UI_LOAD_FAILED), MessageBoxButtons::Ok, MessageBoxIcon::Stop);
    }
    return;
  }
  bound_ = true;
  dlg_.ApplyGaugeVisibility();
  dlg_.SetGauge(0);
  if (const auto version = services_.probeEncoder()) {
    dlg_.log().WriteLogId(IDS_ENCODER_FOUND, {int64_t{version->first}, int64_t{version->second}});
  } else {
    dlg_.log().WriteLogId(IDS_ENCODER_NOT_FOUND);
  }
}

void CMainWindow::OnPageEvent(const platform::html::PageEvent& event) {
  if (closed_ || !bound_) return;
  using Kind = platform::html::PageEvent::Kind;
  if (event.kind == Kind::Help) {
    if (services_.opener) OpenHelpPage(*services_.opener);
    return;
  }
  if (event.kind != Kind::Click) return;
  const std::string& id = event.id;
  if (id == kRecordButton) {
    dlg_.OnRecordClick();
  } else if (id == kOptionsButton) {
    dlg_.OnOptionsClick();
  } else if (id == kOpenSongsButton) {
    if (services_.opener) OpenSongsFolder(*services_.opener);
  } else if (id == kHelpButton) {
    if (services_.opener) OpenHelpPage(*services_.opener);
  } else if (id == kVolumeInc) {
    dlg_.OnVolumeIncClick();
  } else if (id == kVolumeDec) {
    dlg_.OnVolumeDecClick();
  }
}

void CMainWindow::OnCloseRequested() {
  if (closed_) return;
  Close(kDialogCancel);
}

void CMainWindow::ShowInTray() {
  if (closed_ || inTray_) return;
  // Without a tray host the window could never be brought back once hidden:
  // it stays minimised in the task bar, and there is nothing to explain.
  platform::shell::ITrayItem* tray = services_.tray;
  if (!tray || !tray->HostPresent()) return;
  const int icon = dlg_.recordingOn() ? kRecordingIcon : kIdleIcon;
  if (!tray->Add(icon, platform::shell::CutTrayTip(dlg_.Caption()))) return;
  inTray_ = true;
  if (GetShowMinimizeWarning() != 0 && services_.showMinimizeNotice) services_.showMinimizeNotice();
  // The user may have brought the window back while the notice was up.
  if (inTray_) {
    host_->Hide();
    OnSeenChanged(false);
  }
}

void CMainWindow::OnSeenChanged(bool seen) {
  if (closed_) return;
  live_->SetSeen(seen);
  dlg_.SetWindowSeen(seen);
}

void CMainWindow::OnTrayActivated() {
  if (!inTray_) return;
  inTray_ = false;
  host_->Present();
  services_.tray->Remove();
}

void CMainWindow::OnTrayHostGone() {
  if (!inTray_) return;
  // The item has gone with its host; the window is the only way back.
  inTray_ = false;
  host_->Present();
}

void CMainWindow::OnWebProcessGone() {
  // The dialog reloads its page; until that completes, events of the old
  // document cannot arrive and writes go nowhere. The recording goes on.
  bound_ = false;
  live_->Reset();
}

}  // namespace orvweb::ui
