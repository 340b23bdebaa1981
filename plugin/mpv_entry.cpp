// mpv loads C plug-ins by this entry: the same plug-in object then runs
// inside the player, fed by a core over mpv's own properties.
#include <mpv/client.h>

#include "platform/player/mpv_host.h"
#include "plugin/orvweb_plugin.h"

extern "C" platform::HRESULT DllGetClassObject(platform::REFCLSID clsid, platform::REFIID iid, void** object);

extern "C" __attribute__((visibility("default"))) int mpv_open_cplugin(mpv_handle* handle) {
  return platform::player::RunInMpv(handle, &DllGetClassObject, orvweb::CLSID_OrvWeb);
}
