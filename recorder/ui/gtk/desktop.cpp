#include "recorder/ui/gtk/desktop.h"

#include <gtk/gtk.h>

#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/shell/folder_dialog.h"
#include "platform/text/utf.h"
#include "recorder/core/endpoints.h"
#include "recorder/ui/gtk/html_dialog_host.h"

namespace orvweb::ui {
namespace {

// Runs fn on the default main context's thread and waits for it.
void OnWindowThread(std::function<void()> fn) {
  GMainContext* context = g_main_context_default();
  if (g_main_context_is_owner(context)) {
    fn();
    return;
  }
  struct Call {
    std::function<void()> fn;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
  };
  // The caller waits until the call has run, so it can live on this stack.
  Call call;
  call.fn = std::move(fn);
  g_main_context_invoke(
      context,
      +[](gpointer data) -> gboolean {
        auto& c = *static_cast<Call*>(data);
        c.fn();
        std::lock_guard<std::mutex> lock(c.mutex);
        c.finished = true;
        c.done.notify_all();
        return G_SOURCE_REMOVE;
      },
      &call);
  std::unique_lock<std::mutex> lock(call.mutex);
  call.done.wait(lock, [&] { return call.finished; });
}

class WindowThreadUpdateUi : public update::UpdateUi {
 public:
  bool AskYesNo(const std::u16string& caption, const std::u16string& text) override {
    bool yes = false;
    OnWindowThread([&] {
      GtkWidget* box = gtk_message_dialog_new(ActiveDialogWindow(), GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                              GTK_BUTTONS_YES_NO, "%s", platform::ToUtf8(text).c_str());
      gtk_window_set_title(GTK_WINDOW(box), platform::ToUtf8(caption).c_str());
      yes = gtk_dialog_run(GTK_DIALOG(box)) == GTK_RESPONSE_YES;
      gtk_widget_destroy(box);
    });
    return yes;
  }
  void Tell(const std::u16string& caption, const std::u16string& text) override {
    OnWindowThread([&] {
      GtkWidget* box = gtk_message_dialog_new(ActiveDialogWindow(), GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                              GTK_BUTTONS_OK, "%s", platform::ToUtf8(text).c_str());
      gtk_window_set_title(GTK_WINDOW(box), platform::ToUtf8(caption).c_str());
      gtk_dialog_run(GTK_DIALOG(box));
      gtk_widget_destroy(box);
    });
  }
  bool OpenFile(const std::filesystem::path& file) override {
    bool opened = false;
    OnWindowThread([&] {
      GFile* f = g_file_new_for_path(file.c_str());
      char* uri = g_file_get_uri(f);
      g_object_unref(f);
      opened = GioOpener().OpenUri(uri);
      g_free(uri);
    });
    return opened;
  }
};

}  // namespace

std::optional<std::u16string> GtkFolderChooser::ChooseFolder(std::u16string_view title,
                                                             std::u16string_view initialFolder,
                                                             IDialogHost* owner) {
  GtkWindow* parent = owner && owner->dialog() ? owner->dialog()->window() : ActiveDialogWindow();
  platform::shell::CFolderDialog dialog(platform::ToUtf8(title), platform::ToUtf8(initialFolder), parent);
  if (dialog.DoModal() != platform::shell::CFolderDialog::kOk) return std::nullopt;
  return platform::FromUtf8(dialog.path());
}

std::shared_ptr<update::UpdateUi> MakeWindowThreadUpdateUi() { return std::make_shared<WindowThreadUpdateUi>(); }

namespace {
std::unique_ptr<update::RunningCheck>& RecorderCheck() {
  static std::unique_ptr<update::RunningCheck> check;
  return check;
}
}  // namespace

void StartRecorderUpdateCheck() {
  update::UpdateChecker checker(update::RealUpdateServices(MakeWindowThreadUpdateUi()));
  checker.config = update::RecorderUpdateConfig(UpdateBase());
  // The thread works on copies: the checker may go now.
  RecorderCheck() = checker.StartUpdateCheck();
}

void StopRecorderUpdateCheck() { RecorderCheck().reset(); }

}  // namespace orvweb::ui
