#pragma once
// The desktop services of the window layer: the default-handler opener, the
// desktop's folder chooser and the update check's questions on the window
// thread.
#include <memory>

#include "recorder/ui/folder_chooser.h"
#include "recorder/ui/opener.h"
#include "recorder/update/update_checker.h"

namespace orvweb::ui {

// g_app_info_launch_default_for_uri.
class GioOpener : public IOpener {
 public:
  bool OpenUri(const std::string& uri) override;
};

// GtkFileChooserNative in folder mode, local folders only.
class GtkFolderChooser : public IFolderChooser {
 public:
  std::optional<std::u16string> ChooseFolder(std::u16string_view title, std::u16string_view initialFolder,
                                             IDialogHost* owner) override;
};

// The update check's questions, asked on the thread of the default main
// context while the update thread waits for the answer.
std::shared_ptr<update::UpdateUi> MakeWindowThreadUpdateUi();

// Starts the recorder's daily check against UpdateBase(); a failure stays silent.
void StartRecorderUpdateCheck();

}  // namespace orvweb::ui
