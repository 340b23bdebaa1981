#pragma once
// The real dialog host: an HtmlDialog, with the window icons taken from the
// program's built-in files. The hosts that run modally form a stack, whose
// top is the window a message box belongs to.
#include <memory>

#include "recorder/ui/dialog_host.h"

typedef struct _GtkWindow GtkWindow;

namespace orvweb::ui {

// Makes HtmlDialog hosts; iconId: the built-in icon of the windows (128).
DialogHostFactory HtmlDialogHostFactory(int iconId);

// The window of the innermost modal run still showing; nullptr when none.
GtkWindow* ActiveDialogWindow();

}  // namespace orvweb::ui
