#pragma once
// Modal message boxes: a text, a set of buttons and an icon; the answer is
// the button the user pressed. Closing the box without a button counts as
// Cancel (or OK where OK is the only button).
#include <string>
#include <string_view>

namespace platform::shell {

enum class MessageBoxButtons { Ok, OkCancel, YesNoCancel };
enum class MessageBoxIcon { None, Exclamation, Stop };
// The values of the classic box results.
enum class MessageBoxResult { Ok = 1, Cancel = 2, Yes = 6, No = 7 };

class IMessageBox {
 public:
  virtual ~IMessageBox() = default;
  // Runs modally on the calling (window) thread.
  virtual MessageBoxResult Show(std::u16string_view text, MessageBoxButtons buttons, MessageBoxIcon icon) = 0;
};

}  // namespace platform::shell
