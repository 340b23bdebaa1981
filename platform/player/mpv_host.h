#pragma once
// Hosting a plug-in inside mpv, as one of mpv's C plug-ins.
#include "platform/com/wmp.h"

struct mpv_handle;

namespace platform::player {

// Creates the plug-in object through its class factory on this (mpv's
// plug-in) thread, hands it a core over mpv's properties (path, media title,
// ICY title, artist tag, pause, idle), and serves mpv's events until mpv
// shuts down; then SetCore(null) and the last Release. 0 on a clean end, -1
// when the object could not be made (mpv reports the plug-in as failed).
int RunInMpv(mpv_handle* handle, DllGetClassObjectFn getClassObject, REFCLSID clsid);

}  // namespace platform::player
