// A GTK window with one web view that loads the URI given, prints "loaded"
// when the page has finished loading, and runs until SIGTERM or SIGINT:
// what any WebKitGTK program pays before its first page is shown.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <csignal>
#include <cstdio>

namespace {

void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer) {
  if (event == WEBKIT_LOAD_FINISHED) {
    std::printf("loaded\n");
    std::fflush(stdout);
  }
}

gboolean Quit(gpointer) {
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: webkit_baseline URI\n");
    return 2;
  }
  gtk_init(&argc, &argv);
  // The window owns the view; destroying it at the end frees both.
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 728, 509);
  GtkWidget* view = webkit_web_view_new();
  g_signal_connect(view, "load-changed", G_CALLBACK(OnLoadChanged), nullptr);
  gtk_container_add(GTK_CONTAINER(window), view);
  const gulong destroyed = g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  g_object_add_weak_pointer(G_OBJECT(window), reinterpret_cast<gpointer*>(&window));
  g_unix_signal_add(SIGTERM, Quit, nullptr);
  g_unix_signal_add(SIGINT, Quit, nullptr);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
  gtk_widget_show_all(window);
  gtk_main();
  if (window) {  // still open: the signal ended the loop
    g_signal_handler_disconnect(window, destroyed);
    gtk_widget_destroy(window);
  }
  return 0;
}
