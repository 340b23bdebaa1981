#pragma once
// The main window: the HTML dialog around the recording controller. It shows
// the built-in loading page, sends the window on to the UI page, binds that
// page through the controller when it has loaded (and again whenever it loads
// anew, as after the web process died), routes the page's buttons and the
// help key, and ends the program's modal run when the window is closed or
// the page cannot be bound. The controller writes through a page that holds
// every write while nobody can see the window and sends the gauge at most
// kGaugeIntervalMs apart.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/html/live_page.h"
#include "platform/shell/message_box.h"
#include "platform/shell/tray_icon.h"
#include "recorder/controller/recorder_dlg.h"
#include "recorder/ui/dialog_host.h"
#include "recorder/ui/opener.h"

namespace orvweb::ui {

// The ids of the main page's element contract.
inline constexpr char kRecordButton[] = "RecordButton";
inline constexpr char kOptionsButton[] = "OptionsButton";
inline constexpr char kOpenSongsButton[] = "OpenSongsButton";
inline constexpr char kHelpButton[] = "HelpButton";
inline constexpr char kVolumeInc[] = "VolumeInc";
inline constexpr char kVolumeDec[] = "VolumeDec";

// 15 gauge writes a second look as smooth as more; each costs a repaint.
inline constexpr uint32_t kGaugeIntervalMs = 67;

// The encoder's major and minor version, or nullopt when the library is missing.
using EncoderProbe = std::function<std::optional<std::pair<int, int>>()>;
// Asks the LAME library.
std::optional<std::pair<int, int>> ProbeLameEncoder();

class CMainWindow;

struct MainWindowServices {
  DialogHostFactory makeHost;
  platform::shell::IMessageBox* messageBox = nullptr;
  IOpener* opener = nullptr;
  EncoderProbe probeEncoder;  // empty: ProbeLameEncoder
  // Window initialisation, in this order after the window exists: the About
  // entry of the window menu (when showAbout is set), then the update check.
  std::function<void()> showAbout;
  std::function<void()> startUpdateCheck;
  // Where a minimised window waits; nullptr: it stays in the task bar.
  platform::shell::ITrayItem* tray = nullptr;
  // The one-time notice that the window went to the tray, modal; may be empty.
  std::function<void()> showMinimizeNotice;
  // Serves the built-in pages and pictures (res://); icon files of the window.
  std::function<bool(const std::string& path, std::string& bytes, std::string& mimeType)> resources;
  std::vector<std::string> iconFiles;
  bool debugMode = false;
};

// The window's template: caption, size, minimise box, help key, watched ids.
platform::html::DialogTemplate MainWindowTemplate(const MainWindowServices& services);

class CMainWindow {
 public:
  CMainWindow(COrvWebRecorderDlg& dlg, MainWindowServices services);
  ~CMainWindow();
  CMainWindow(const CMainWindow&) = delete;
  CMainWindow& operator=(const CMainWindow&) = delete;

  // Shows the loading page and runs the window until it closes; the
  // controller has had OnDestroy when this returns.
  int Run();

  IDialogHost& host() { return *host_; }
  COrvWebRecorderDlg& controller() { return dlg_; }
  bool bound() const { return bound_; }
  bool loadFailed() const { return loadFailed_; }

  // The handlers the dialog calls; public so that tests can play them.
  void OnDocumentComplete(const std::string& url);
  void OnPageEvent(const platform::html::PageEvent& event);
  void OnCloseRequested();
  void OnWebProcessGone();
  // The window went to the task bar: it goes on to the tray when a tray host
  // is there to bring it back.
  void ShowInTray();
  void OnTrayActivated();
  void OnTrayHostGone();
  bool inTray() const { return inTray_; }
  // Whether anybody can see the window: its page is written only then.
  void OnSeenChanged(bool seen);
  bool seen() const { return live_->seen(); }

 private:
  void Close(int result);

  COrvWebRecorderDlg& dlg_;
  MainWindowServices services_;
  std::string uiPageUrl_;
  std::unique_ptr<IDialogHost> host_;
  std::unique_ptr<platform::html::LivePage> live_;
  bool bound_ = false;
  bool loadFailed_ = false;
  bool closed_ = false;
  bool inTray_ = false;
};

}  // namespace orvweb::ui
