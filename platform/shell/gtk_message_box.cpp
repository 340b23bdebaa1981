#include "platform/shell/gtk_message_box.h"

#include <gtk/gtk.h>

#include <memory>

#include "platform/text/utf.h"

namespace platform::shell {

GtkMessageBox::GtkMessageBox(std::u16string caption, std::function<GtkWindow*()> parent)
    : caption_(std::move(caption)), parent_(std::move(parent)) {}

MessageBoxResult GtkMessageBox::Show(std::u16string_view text, MessageBoxButtons buttons, MessageBoxIcon icon) {
  GtkMessageType type = GTK_MESSAGE_OTHER;
  if (icon == MessageBoxIcon::Exclamation) type = GTK_MESSAGE_WARNING;
  if (icon == MessageBoxIcon::Stop) type = GTK_MESSAGE_ERROR;
  GtkWindow* parent = parent_ ? parent_() : nullptr;
  if (parent && !gtk_widget_get_visible(GTK_WIDGET(parent))) parent = nullptr;

  // The text is data, never markup.
  GtkWidget* box = gtk_message_dialog_new(parent, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), type,
                                          GTK_BUTTONS_NONE, "%s", ToUtf8(text).c_str());
  std::unique_ptr<GtkWidget, void (*)(GtkWidget*)> owner(box, gtk_widget_destroy);
  gtk_window_set_title(GTK_WINDOW(box), ToUtf8(caption_).c_str());
  gtk_window_set_keep_above(GTK_WINDOW(box), TRUE);
  GtkDialog* dialog = GTK_DIALOG(box);
  switch (buttons) {
    case MessageBoxButtons::Ok:
      gtk_dialog_add_button(dialog, "_OK", GTK_RESPONSE_OK);
      gtk_dialog_set_default_response(dialog, GTK_RESPONSE_OK);
      break;
    case MessageBoxButtons::OkCancel:
      gtk_dialog_add_button(dialog, "_Cancel", GTK_RESPONSE_CANCEL);
      gtk_dialog_add_button(dialog, "_OK", GTK_RESPONSE_OK);
      gtk_dialog_set_default_response(dialog, GTK_RESPONSE_OK);
      break;
    case MessageBoxButtons::YesNoCancel:
      gtk_dialog_add_button(dialog, "_Cancel", GTK_RESPONSE_CANCEL);
      gtk_dialog_add_button(dialog, "_No", GTK_RESPONSE_NO);
      gtk_dialog_add_button(dialog, "_Yes", GTK_RESPONSE_YES);
      gtk_dialog_set_default_response(dialog, GTK_RESPONSE_YES);
      break;
  }
  const gint response = gtk_dialog_run(dialog);
  switch (response) {
    case GTK_RESPONSE_OK:
      return MessageBoxResult::Ok;
    case GTK_RESPONSE_YES:
      return MessageBoxResult::Yes;
    case GTK_RESPONSE_NO:
      return MessageBoxResult::No;
    default:
      // Closed without a button (Escape, the frame's close button).
      return buttons == MessageBoxButtons::Ok ? MessageBoxResult::Ok : MessageBoxResult::Cancel;
  }
}

}  // namespace platform::shell
