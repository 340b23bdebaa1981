#pragma once
// The desktop services of the window layer: the default-handler opener, the
// desktop's folder chooser and the update check's questions on the window
// thread.
#include <memory>

#include "recorder/ui/folder_chooser.h"
#include "recorder/ui/opener.h"
#include "recorder/update/update_checker.h"

namespace orvweb::ui {

using platform::shell::GioOpener;

// The desktop's folder chooser; a place without a file-system path counts as
// no choice, so the page keeps its folder.
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
// Ends a check still running: its download is cancelled and removed, and its
// thread waited for a bounded time. Called once the main window has closed.
void StopRecorderUpdateCheck();

}  // namespace orvweb::ui
