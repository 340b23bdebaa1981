#pragma once
// The desktop's message box: a GtkMessageDialog with the program's caption,
// modal to the window the parent function names (the dialog that is active).
#include <functional>
#include <string>

#include "platform/shell/message_box.h"

typedef struct _GtkWindow GtkWindow;

namespace platform::shell {

class GtkMessageBox : public IMessageBox {
 public:
  // parent: the window the box is modal to at the moment it shows, or nullptr.
  GtkMessageBox(std::u16string caption, std::function<GtkWindow*()> parent);
  MessageBoxResult Show(std::u16string_view text, MessageBoxButtons buttons, MessageBoxIcon icon) override;

 private:
  std::u16string caption_;
  std::function<GtkWindow*()> parent_;
};

}  // namespace platform::shell
