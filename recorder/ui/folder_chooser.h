#pragma once
// Choosing a folder. The real chooser is the desktop's folder dialog; tests
// answer from a script.
#include <optional>
#include <string>
#include <string_view>

#include "recorder/ui/dialog_host.h"

namespace orvweb::ui {

class IFolderChooser {
 public:
  virtual ~IFolderChooser() = default;
  // Runs modally over owner (may be nullptr); the chosen folder, or nullopt
  // when the user cancelled. Only folders of the file system can be chosen.
  virtual std::optional<std::u16string> ChooseFolder(std::u16string_view title, std::u16string_view initialFolder,
                                                     IDialogHost* owner) = 0;
};

}  // namespace orvweb::ui
