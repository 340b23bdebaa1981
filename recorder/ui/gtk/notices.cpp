#include "recorder/ui/gtk/notices.h"

#include <gtk/gtk.h>

#include "platform/html/html_dialog.h"
#include "recorder/core/settings.h"
#include "recorder/resources/resources.h"
#include "recorder/ui/gtk/animated_picture.h"

namespace orvweb::ui {
namespace {

constexpr int kMinimizePicture = 139;

// Dialog units of an 8 pt dialog font, as pixels.
int DluX(int units) { return platform::html::DialogUnitsToPixels(units, 0).width; }
int DluY(int units) { return platform::html::DialogUnitsToPixels(0, units).height; }

GtkWidget* NewDialog(const char* title, GtkWindow* owner, int widthDlu) {
  // A header bar, as the main window has: the same title and close button
  // on every desktop, with or without a window manager's frame.
  GtkWidget* dialog = GTK_WIDGET(g_object_new(GTK_TYPE_DIALOG, "use-header-bar", TRUE, nullptr));
  GtkWindow* window = GTK_WINDOW(dialog);
  gtk_window_set_title(window, title);
  gtk_window_set_modal(window, TRUE);
  gtk_window_set_resizable(window, FALSE);
  gtk_window_set_default_size(window, DluX(widthDlu), -1);
  if (owner) {
    gtk_window_set_transient_for(window, owner);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER_ON_PARENT);
  } else {
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  }
  return dialog;
}

// The default push button "OK": Return and the click both answer OK.
GtkWidget* OkButton(GtkWidget* dialog) {
  GtkWidget* ok = gtk_button_new_with_mnemonic("OK");
  gtk_widget_set_can_default(ok, TRUE);
  gtk_widget_set_size_request(ok, DluX(50), -1);
  g_signal_connect(ok, "clicked", G_CALLBACK(+[](GtkButton*, gpointer d) {
                     gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_OK);
                   }),
                   dialog);
  return ok;
}

GtkWidget* Text(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  return label;
}

}  // namespace

CMinimizeDlg::CMinimizeDlg(ResourceLookup resources) {
  dialog_ = NewDialog("Minimizing", nullptr, 274);
  gtk_window_set_skip_taskbar_hint(GTK_WINDOW(dialog_), FALSE);
  GtkWidget* grid = gtk_grid_new();
  gtk_container_set_border_width(GTK_CONTAINER(grid), DluX(7));
  gtk_grid_set_row_spacing(GTK_GRID(grid), DluY(3));
  gtk_grid_set_column_spacing(GTK_GRID(grid), DluX(7));
  gtk_grid_attach(GTK_GRID(grid), Text("Pagewisp will be runing, and minimized to system tray."), 0, 0, 2, 1);

  picture_ = std::make_unique<CAnimatedPicture>(std::move(resources));
  GtkWidget* picture = picture_->widget();
  gtk_widget_set_halign(picture, GTK_ALIGN_START);
  gtk_grid_attach(GTK_GRID(grid), picture, 0, 1, 2, 1);

  check_ = gtk_check_button_new_with_label("Don't show this window in the future");
  gtk_widget_set_hexpand(check_, TRUE);
  gtk_widget_set_valign(check_, GTK_ALIGN_CENTER);
  g_signal_connect(check_, "toggled", G_CALLBACK(+[](GtkToggleButton* box, gpointer) {
                     SetShowMinimizeWarning(gtk_toggle_button_get_active(box) ? 0 : 1);
                   }),
                   nullptr);
  gtk_grid_attach(GTK_GRID(grid), check_, 0, 2, 1, 1);
  GtkWidget* ok = OkButton(dialog_);
  gtk_widget_set_halign(ok, GTK_ALIGN_END);
  gtk_grid_attach(GTK_GRID(grid), ok, 1, 2, 1, 1);

  gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog_))), grid);
  gtk_widget_show_all(grid);
  gtk_widget_grab_default(ok);
  gtk_widget_grab_focus(ok);

  // Without its picture the notice still says what happened.
  pictureLoaded_ = picture_->LoadFromResource(kMinimizePicture, "GIFTYPE");
  if (pictureLoaded_) {
    picture_->SetBackgroundColor(ThemeButtonFaceColor(picture));
    picture_->Start();
  } else {
    gtk_widget_hide(picture);
  }
}

CMinimizeDlg::~CMinimizeDlg() {
  // The picture's thread ends before its widget goes.
  picture_->Stop();
  gtk_widget_destroy(dialog_);
}

int CMinimizeDlg::DoModal() {
  const int response = gtk_dialog_run(GTK_DIALOG(dialog_));
  gtk_widget_hide(dialog_);
  return response == GTK_RESPONSE_OK ? 1 : 2;
}

void RunAboutBox(GtkWindow* owner) {
  GtkWidget* dialog = NewDialog("About Orvello", owner, 235);
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, DluX(9));
  gtk_container_set_border_width(GTK_CONTAINER(row), DluX(7));

  GtkWidget* icon = gtk_image_new_from_resource(resources::ResourcePath("icons/128-48.png").c_str());
  gtk_widget_set_valign(icon, GTK_ALIGN_START);
  gtk_box_pack_start(GTK_BOX(row), icon, FALSE, FALSE, 0);

  GtkWidget* lines = gtk_box_new(GTK_ORIENTATION_VERTICAL, DluY(7));
  // The name is shown as written: no access-key marks in it.
  GtkWidget* name = Text("Orvello Version 2.0");
  gtk_label_set_use_underline(GTK_LABEL(name), FALSE);
  gtk_box_pack_start(GTK_BOX(lines), name, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(lines), Text("Keeps every song your player plays as a file of its own."), FALSE, FALSE, 0);
  gtk_widget_set_valign(lines, GTK_ALIGN_CENTER);
  gtk_box_pack_start(GTK_BOX(row), lines, TRUE, TRUE, 0);

  GtkWidget* ok = OkButton(dialog);
  gtk_widget_set_valign(ok, GTK_ALIGN_START);
  gtk_box_pack_end(GTK_BOX(row), ok, FALSE, FALSE, 0);

  gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), row);
  gtk_widget_show_all(row);
  gtk_widget_grab_default(ok);
  gtk_widget_grab_focus(ok);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

}  // namespace orvweb::ui
