// orvweb-mpris-host: a media-player host for user-interface plug-ins on a
// Linux desktop. It loads the registered plug-ins while an MPRIS player is on
// the session bus and feeds them from the one that is playing.
//
//   orvweb-mpris-host                  run until SIGTERM/SIGINT/SIGHUP
//   orvweb-mpris-host --register LIB   run LIB's DllRegisterServer
//   orvweb-mpris-host --unregister LIB run LIB's DllUnregisterServer
#include <glib-unix.h>
#include <gio/gio.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/http/stream_name.h"
#include "platform/ipc/ipc.h"
#include "platform/player/core.h"
#include "platform/player/host.h"
#include "platform/player/mpris.h"
#include "platform/text/utf.h"

using namespace platform;
using namespace platform::player;

namespace {

gboolean Quit(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

void OnBusClosed(GDBusConnection*, gboolean, GError*, gpointer loop) {
  std::fprintf(stderr, "orvweb-mpris-host: the session bus went away\n");
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
}

// The plug-ins live while a player does, as they would inside one: loaded
// when the first MPRIS player appears, let go (closing record, notice,
// section released) when the last one leaves.
struct HostState {
  ipc::BroadcastListener* listener = nullptr;
  PluginHost* plugins = nullptr;
  bool anyPlayer = false;
};

gboolean OnPluginsChanged(gint, GIOCondition, gpointer data) {
  auto* state = static_cast<HostState*>(data);
  state->listener->Drain();
  if (state->anyPlayer) state->plugins->Refresh();
  return G_SOURCE_CONTINUE;
}

// A station's icy-name in the bytes its server sent: UTF-8 when they are,
// else Latin-1 (older servers pass on whatever the source typed).
std::optional<std::u16string> StreamName(const std::string& url) {
  const auto bytes = http::ReadStreamName(url);
  if (!bytes) return std::nullopt;
  if (g_utf8_validate(bytes->data(), static_cast<gssize>(bytes->size()), nullptr)) return FromUtf8(*bytes);
  std::u16string latin1;
  for (unsigned char c : *bytes) latin1.push_back(c);
  return latin1;
}

int Usage() {
  std::fprintf(stderr, "usage: orvweb-mpris-host [--register LIBRARY | --unregister LIBRARY]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && (std::strcmp(argv[1], "--register") == 0 || std::strcmp(argv[1], "--unregister") == 0)) {
    const HRESULT hr = RegisterLibrary(argv[2], std::strcmp(argv[1], "--unregister") == 0);
    if (FAILED(hr)) std::fprintf(stderr, "orvweb-mpris-host: %s failed (0x%08X)\n", argv[1], static_cast<unsigned>(hr));
    return FAILED(hr) ? 1 : 0;
  }
  if (argc != 1) return Usage();
  std::signal(SIGPIPE, SIG_IGN);

  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    std::fprintf(stderr, "orvweb-mpris-host: no session bus: %s\n", error->message);
    g_error_free(error);
    return 1;
  }
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  // Losing the bus ends the run the orderly way, with the closing writes.
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  const gulong closedHandler = g_signal_connect(bus, "closed", G_CALLBACK(OnBusClosed), loop);
  const guint signalSources[] = {g_unix_signal_add(SIGTERM, Quit, loop), g_unix_signal_add(SIGINT, Quit, loop),
                                 g_unix_signal_add(SIGHUP, Quit, loop)};

  {
    auto core = PlayerCore::Create();
    PluginHost plugins(core.get());
    // Listening starts before the first look, so no registration is missed.
    auto listener = ipc::BroadcastListener::Create(kPluginAddRemoveMessage);
    HostState state{listener.get(), &plugins, false};
    guint watch = 0;
    if (listener) {
      watch = g_unix_fd_add(listener->fd(), G_IO_IN, OnPluginsChanged, &state);
    } else {
      std::fprintf(stderr, "orvweb-mpris-host: cannot listen for plug-in changes\n");
    }
    WatcherOptions options;
    options.streamName = &StreamName;
    options.log = [](const std::string& line) { std::fprintf(stderr, "orvweb-mpris-host: %s\n", line.c_str()); };
    MprisWatcher watcher(
        bus, [&](const PlayerSnapshot& snapshot) { core->Update(snapshot); },
        [&](bool anyPlayer) {
          state.anyPlayer = anyPlayer;
          if (anyPlayer) {
            plugins.Refresh();
          } else {
            plugins.Clear();
          }
        },
        std::move(options));

    g_main_loop_run(loop);

    if (watch) g_source_remove(watch);
    plugins.Clear();
  }

  for (guint source : signalSources) g_source_remove(source);
  g_signal_handler_disconnect(bus, closedHandler);
  g_main_loop_unref(loop);
  g_object_unref(bus);
  return 0;
}
