#include "platform/player/mpv_host.h"

#include <dlfcn.h>
#include <mpv/client.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/player/core.h"
#include "platform/player/tracker.h"

namespace platform::player {
namespace {

// The client API comes from the mpv process that loaded us; looking it up at
// run time keeps the library loadable by any other host as well.
struct MpvApi {
  decltype(&mpv_wait_event) waitEvent = nullptr;
  decltype(&mpv_observe_property) observeProperty = nullptr;
  decltype(&mpv_client_name) clientName = nullptr;

  bool Load() {
    waitEvent = reinterpret_cast<decltype(waitEvent)>(::dlsym(RTLD_DEFAULT, "mpv_wait_event"));
    observeProperty = reinterpret_cast<decltype(observeProperty)>(::dlsym(RTLD_DEFAULT, "mpv_observe_property"));
    clientName = reinterpret_cast<decltype(clientName)>(::dlsym(RTLD_DEFAULT, "mpv_client_name"));
    return waitEvent && observeProperty && clientName;
  }
};

enum Property : uint64_t { kPath = 1, kMediaTitle, kIcyTitle, kArtist, kPause, kIdle };

struct Observed {
  Property id;
  const char* name;
  mpv_format format;
};

constexpr Observed kObserved[] = {
    {kPath, "path", MPV_FORMAT_STRING},
    {kMediaTitle, "media-title", MPV_FORMAT_STRING},
    {kIcyTitle, "metadata/by-key/icy-title", MPV_FORMAT_STRING},
    {kArtist, "metadata/by-key/artist", MPV_FORMAT_STRING},
    {kPause, "pause", MPV_FORMAT_FLAG},
    {kIdle, "idle-active", MPV_FORMAT_FLAG},
};

void Apply(MpvProperties& props, const mpv_event_property& change, uint64_t id) {
  std::optional<std::string> text;
  if (change.format == MPV_FORMAT_STRING && change.data) {
    const char* value = *static_cast<char**>(change.data);
    if (value) text = value;
  }
  const bool flag = change.format == MPV_FORMAT_FLAG && change.data && *static_cast<int*>(change.data) != 0;
  switch (id) {
    case kPath: props.path = text; break;
    case kMediaTitle: props.mediaTitle = text; break;
    case kIcyTitle: props.icyTitle = text; break;
    case kArtist: props.artist = text; break;
    case kPause: props.pause = flag; break;
    case kIdle: props.idle = flag; break;
    default: break;
  }
}

}  // namespace

int RunInMpv(mpv_handle* handle, DllGetClassObjectFn getClassObject, REFCLSID clsid) {
  MpvApi api;
  if (!handle || !api.Load()) return -1;

  ComPtr<IClassFactory> factory;
  ComPtr<IWMPPluginUI> plugin;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, factory.put_void());
  if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, IID_IWMPPluginUI, plugin.put_void());
  factory.reset();
  if (FAILED(hr) || !plugin) {
    std::fprintf(stderr, "[%s] plug-in not created (0x%08X): is another player publishing?\n",
                 api.clientName(handle), static_cast<unsigned>(hr));
    return -1;
  }

  auto core = PlayerCore::Create();
  plugin->SetCore(core.get());
  for (const Observed& o : kObserved) api.observeProperty(handle, o.id, o.name, o.format);

  MpvProperties props;
  // mpv opens a relative path against this process's folder; its own
  // "working-directory" follows $PWD, which a launcher may leave stale.
  std::error_code noFolder;
  props.workingDirectory = std::filesystem::current_path(noFolder).string();
  for (bool running = true; running;) {
    // Take every queued event before publishing, so the burst of changes
    // around a file change becomes one item change.
    bool changed = false;
    for (double timeout = -1;; timeout = 0) {
      const mpv_event* event = api.waitEvent(handle, timeout);
      if (event->event_id == MPV_EVENT_NONE) break;
      if (event->event_id == MPV_EVENT_SHUTDOWN) {
        running = false;
        break;
      }
      if (event->event_id == MPV_EVENT_PROPERTY_CHANGE) {
        Apply(props, *static_cast<mpv_event_property*>(event->data), event->reply_userdata);
        changed = true;
      }
    }
    if (changed && running) core->Update(SnapshotFromMpv(props));
  }

  plugin->SetCore(nullptr);
  plugin.reset();  // the last reference: the closing write
  return 0;
}

}  // namespace platform::player
