// A GTK window with one web view that loads the URI given, prints "loaded"
// when the page has finished loading, and runs until SIGTERM or SIGINT:
// what any WebKitGTK program pays before its first page is shown. With
// --live it then makes the recorder's live writes on the recorder's page, as
// scripts from this process: the page in its recording state, the level bar
// 15 times a second and the record time once a second.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool g_live = false;
unsigned g_tick = 0;

void Run(WebKitWebView* view, const std::string& script) {
  webkit_web_view_evaluate_javascript(view, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                      nullptr, nullptr, nullptr);
}

gboolean WriteBar(gpointer data) {
  // A level that moves like music's: a new width nearly every write.
  const unsigned width = (++g_tick * 97u) % 456u;
  Run(WEBKIT_WEB_VIEW(data), "document.getElementById('RecGauge').style.setProperty('width','" +
                                 std::to_string(width) + "px')");
  return G_SOURCE_CONTINUE;
}

gboolean WriteClock(gpointer data) {
  static unsigned seconds = 0;
  ++seconds;
  char text[64];
  std::snprintf(text, sizeof text, "Record %02u:%02u:%02u", seconds / 3600, seconds / 60 % 60, seconds % 60);
  Run(WEBKIT_WEB_VIEW(data), std::string("document.getElementById('RecordLabel').innerHTML='") + text + "'");
  return G_SOURCE_CONTINUE;
}

void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer) {
  if (event != WEBKIT_LOAD_FINISHED) return;
  if (g_live) {
    Run(view, "var f=document.getElementById('IsRecording');if(f){f.value='1';"
              "f.dispatchEvent(new Event('change',{bubbles:true}));}");
    g_timeout_add(67, WriteBar, view);
    g_timeout_add(1000, WriteClock, view);
  }
  std::printf("loaded\n");
  std::fflush(stdout);
}

gboolean Quit(gpointer) {
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[2], "--live") == 0) g_live = true;
  if (argc != 2 && !g_live) {
    std::fprintf(stderr, "usage: webkit_baseline URI [--live]\n");
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
