#pragma once
// The desktop's folder chooser, run modally over an owner window. It is the
// portal's chooser where the desktop has one (GtkFileChooserNative), else
// GTK's own.
#include <string>

typedef struct _GtkWindow GtkWindow;

namespace platform::shell {

class CFolderDialog {
 public:
  static constexpr int kOk = 1;
  // The chosen place is not a folder of the file system (a network share
  // without a local mount, a virtual location).
  static constexpr int kNoPath = 2;
  // The user chose nothing.
  static constexpr int kNoSelection = -1;

  // title and initialFolder in UTF-8; an empty initialFolder starts the
  // chooser without a selection. owner may be nullptr.
  CFolderDialog(std::string title, std::string initialFolder, GtkWindow* owner);

  // kOk with path() set, kNoPath or kNoSelection.
  int DoModal();
  const std::string& path() const { return path_; }

 private:
  std::string title_;
  std::string initialFolder_;
  GtkWindow* owner_;
  std::string path_;
};

}  // namespace platform::shell
