// OrvWebRecorder: records what the desktop's media player plays, one file
// per song. Start-up, the main window and the options page run on the GTK
// main context; the capture thread and the update check only post to it.
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>

#include <cstdlib>
#include <memory>

#include "platform/asf/asf.h"
#include "platform/audio/audio.h"
#include "platform/loop/glib_loop.h"
#include "platform/shell/folders.h"
#include "platform/shell/gtk_message_box.h"
#include "platform/shell/sni_tray.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/controller/recorder_app.h"
#include "recorder/controller/recorder_dlg.h"
#include "recorder/core/settings.h"
#include "recorder/core/web_notice.h"
#include "recorder/resources/resources.h"
#include "recorder/ui/gtk/desktop.h"
#include "recorder/ui/gtk/html_dialog_host.h"
#include "recorder/ui/main_window.h"
#include "recorder/ui/gtk/notices.h"
#include "recorder/ui/options_dlg.h"
#include "recorder/ui/player_host.h"

namespace {

bool g_debugMode = false;

// The tray's look of an icon resource: the installed theme icon by name, and
// the built-in pictures for hosts that do not find it.
platform::shell::TrayPicture TrayPictureOf(int icon) {
  std::vector<std::string> pngs;
  const std::string base = "icons/" + std::to_string(icon);
  for (const std::string& path : {base + ".png", base + "-48.png", base + "-32.png", base + "-16.png"}) {
    std::string bytes, mime;
    if (orvweb::resources::Lookup(path, bytes, mime)) pngs.push_back(std::move(bytes));
  }
  return platform::shell::LoadTrayPicture(
      icon == orvweb::kRecordingIcon ? "orvweb-recorder-recording" : "orvweb-recorder", pngs);
}

// Diagnostics of the toolkits go to stderr only in debug mode.
GLogWriterOutput LogWriter(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
  if (!g_debugMode && !(level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL))) return G_LOG_WRITER_HANDLED;
  return g_log_writer_standard_streams(level, fields, count, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // Pages run in the web process; without an accessibility bus there is
  // nothing to wait for.
  if (!std::getenv("NO_AT_BRIDGE")) setenv("NO_AT_BRIDGE", "1", 0);
  gtk_init(&argc, &argv);
  g_debugMode = orvweb::GetProfileInt(orvweb::kKeyDebugMode, 0) != 0;
  g_log_set_writer_func(LogWriter, nullptr, nullptr);

  platform::GlibLoop loop;
  std::unique_ptr<platform::audio::AudioSystem> audio = platform::audio::MakePulseAudioSystem();
  // Bound now, so the output format reads right from the first options page.
  orvweb::ProbeMp3EncoderAtStart();
  orvweb::WebNotice notice;
  platform::shell::GtkMessageBox messageBox(orvweb::LoadMessage(orvweb::IDS_CAPTION), orvweb::ui::ActiveDialogWindow);
  orvweb::ui::GioOpener opener;
  platform::shell::SniTray tray("OrvWebRecorder", TrayPictureOf);
  orvweb::ui::GtkFolderChooser folderChooser;
  const orvweb::ui::DialogHostFactory makeHost = orvweb::ui::HtmlDialogHostFactory(orvweb::kIdleIcon);

  orvweb::ui::IDialogHost* mainHost = nullptr;
  orvweb::ui::CMainWindow* mainWindow = nullptr;
  // The player host feeds the plug-in from any MPRIS player; one started
  // here ends with the program.
  orvweb::ui::PlayerHostLauncher playerHost;
  struct SignalContext {
    orvweb::ui::CMainWindow** window;
    orvweb::ui::PlayerHostLauncher* playerHost;
  } signalContext{&mainWindow, &playerHost};
  // A termination request closes the window as its close button does, so
  // the song being written is finished and the player host is ended. With a
  // dialog or box open over the window the run cannot unwind through it: the
  // song and the host are finished here and the process ends.
  const auto closeOnSignal = +[](gpointer data) -> gboolean {
    auto* context = static_cast<SignalContext*>(data);
    orvweb::ui::CMainWindow* window = *context->window;
    bool othersOpen = false;
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* l = toplevels; l; l = l->next) {
      auto* w = GTK_WINDOW(l->data);
      const bool isMain = window && window->host().dialog() && window->host().dialog()->window() == w;
      if (!isMain && gtk_widget_get_visible(GTK_WIDGET(w))) othersOpen = true;
    }
    g_list_free(toplevels);
    if (window) window->OnCloseRequested();
    if (!window || othersOpen) {
      context->playerHost->Stop();
      std::_Exit(0);
    }
    return G_SOURCE_CONTINUE;
  };
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) g_unix_signal_add(signal, closeOnSignal, &signalContext);
  orvweb::ui::OptionsServices optionsServices;
  optionsServices.makeHost = makeHost;
  optionsServices.audio = audio.get();
  optionsServices.messageBox = &messageBox;
  optionsServices.folderChooser = &folderChooser;
  optionsServices.ownerHost = [&mainHost](platform::Window*) { return mainHost; };
  optionsServices.resources = orvweb::resources::Lookup;
  optionsServices.debugMode = g_debugMode;
  orvweb::ui::COptionsDlg options(std::move(optionsServices));

  orvweb::AppServices services;
  services.messageBox = &messageBox;
  services.optionsPage = &options;
  services.webNotice = &notice;
  services.runMainDialog = [&](orvweb::COrvWebRecorderApp& app) {
    playerHost.StartInBackground(platform::shell::ProgramFolder());
    orvweb::DlgServices dlgServices;
    dlgServices.audio = audio.get();
    dlgServices.makeWmaWriter = [] { return platform::asf::MakeFfmpegWmaWriter(); };
    dlgServices.webNotice = &notice;
    dlgServices.messageBox = &messageBox;
    dlgServices.optionsPage = &options;
    dlgServices.tray = &tray;
    dlgServices.debugMode = app.debugMode != 0;
    orvweb::COrvWebRecorderDlg dlg(loop, std::move(dlgServices));

    orvweb::ui::MainWindowServices windowServices;
    windowServices.makeHost = makeHost;
    windowServices.messageBox = &messageBox;
    windowServices.opener = &opener;
    windowServices.tray = &tray;
    windowServices.showMinimizeNotice = [] {
      orvweb::ui::CMinimizeDlg notice(orvweb::resources::Lookup);
      notice.DoModal();
    };
    windowServices.showAbout = [&mainHost] {
      orvweb::ui::RunAboutBox(mainHost && mainHost->dialog() ? mainHost->dialog()->window() : nullptr);
    };
    windowServices.startUpdateCheck = orvweb::ui::StartRecorderUpdateCheck;
    windowServices.resources = orvweb::resources::Lookup;
    windowServices.debugMode = app.debugMode != 0;
    orvweb::ui::CMainWindow window(dlg, std::move(windowServices));
    mainHost = &window.host();
    mainWindow = &window;
    window.Run();
    orvweb::ui::StopRecorderUpdateCheck();
    mainWindow = nullptr;
    mainHost = nullptr;
  };
  orvweb::COrvWebRecorderApp app(std::move(services));
  app.InitInstance();
  return app.exitCode();
}
