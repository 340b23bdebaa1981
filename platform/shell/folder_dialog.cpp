#include "platform/shell/folder_dialog.h"

#include <gtk/gtk.h>

#include "platform/loop/glib_ptr.h"

namespace platform::shell {

CFolderDialog::CFolderDialog(std::string title, std::string initialFolder, GtkWindow* owner)
    : title_(std::move(title)), initialFolder_(std::move(initialFolder)), owner_(owner) {}

int CFolderDialog::DoModal() {
  path_.clear();
  GObjectPtr<GtkFileChooserNative> chooser(gtk_file_chooser_native_new(
      title_.c_str(), owner_, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, nullptr, nullptr));
  GtkFileChooser* fileChooser = GTK_FILE_CHOOSER(chooser.get());
  // The owner stays insensitive while the chooser is up.
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser.get()), TRUE);
  // Places without a local path stay choosable, so that choosing one can be
  // told apart from choosing nothing.
  gtk_file_chooser_set_local_only(fileChooser, FALSE);
  gtk_file_chooser_set_create_folders(fileChooser, TRUE);
  if (!initialFolder_.empty()) gtk_file_chooser_set_current_folder(fileChooser, initialFolder_.c_str());
  if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser.get())) != GTK_RESPONSE_ACCEPT) return kNoSelection;
  GObjectPtr<GFile> chosen(gtk_file_chooser_get_file(fileChooser));
  if (!chosen) return kNoSelection;
  GCharPtr path(g_file_get_path(chosen.get()));
  if (!path) return kNoPath;
  path_ = path.get();
  return kOk;
}

}  // namespace platform::shell
