#include "platform/shell/opener.h"

#include <gio/gio.h>

namespace platform::shell {

bool GioOpener::OpenUri(const std::string& uri) {
  GError* error = nullptr;
  const gboolean ok = g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error);
  if (error) {
    // A failed shell call is not the user's concern beyond the warning.
    g_warning("cannot open %s: %s", uri.c_str(), error->message);
    g_error_free(error);
  }
  return ok != FALSE;
}

}  // namespace platform::shell
