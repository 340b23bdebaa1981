#include "platform/player/plugin_window.h"

#include <gtk/gtk.h>

namespace platform::player {
namespace {

// Black, with the label drawn as a plain text box would draw it: black on a
// white cell, centred in one line.
gboolean Draw(GtkWidget* widget, cairo_t* cr, gpointer label) {
  const int width = gtk_widget_get_allocated_width(widget);
  const int height = gtk_widget_get_allocated_height(widget);
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_rectangle(cr, 0, 0, width, height);
  cairo_fill(cr);

  PangoLayout* layout = gtk_widget_create_pango_layout(widget, static_cast<const char*>(label));
  pango_layout_set_single_paragraph_mode(layout, TRUE);
  int textWidth = 0, textHeight = 0;
  pango_layout_get_pixel_size(layout, &textWidth, &textHeight);
  const double x = (width - textWidth) / 2.0;
  const double y = (height - textHeight) / 2.0;
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_rectangle(cr, x, y, textWidth, textHeight);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_move_to(cr, x, y);
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
  return TRUE;  // painted whole; nothing underneath needs drawing
}

}  // namespace

PluginWindow::PluginWindow(void* widget, std::string label) : widget_(widget), label_(std::move(label)) {}

std::unique_ptr<PluginWindow> PluginWindow::Create(void* parent, int x, int y, int width, int height,
                                                   const std::string& label) {
  if (!parent || !GTK_IS_CONTAINER(parent)) return nullptr;
  GtkWidget* area = gtk_drawing_area_new();
  if (!area) return nullptr;
  g_object_ref_sink(area);  // our handle stays valid until we let it go
  std::unique_ptr<PluginWindow> window(new PluginWindow(area, label));
  gtk_widget_set_size_request(area, width, height);
  g_signal_connect(area, "draw", G_CALLBACK(Draw), const_cast<char*>(window->label_.c_str()));
  if (GTK_IS_FIXED(parent)) {
    gtk_fixed_put(GTK_FIXED(parent), area, x, y);
  } else if (GTK_IS_LAYOUT(parent)) {
    gtk_layout_put(GTK_LAYOUT(parent), area, x, y);
  } else {
    gtk_container_add(GTK_CONTAINER(parent), area);
  }
  gtk_widget_show(area);
  return window;
}

PluginWindow::~PluginWindow() {
  auto* widget = static_cast<GtkWidget*>(widget_);
  gtk_widget_destroy(widget);  // also takes it out of its parent
  g_object_unref(widget);
}

void PluginWindow::Hide() { gtk_widget_hide(static_cast<GtkWidget*>(widget_)); }

}  // namespace platform::player
