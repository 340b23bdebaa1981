#pragma once
// Opening documents and folders the way the desktop opens them: the logic
// hands a URI to an IOpener; the real one asks GIO for the default handler.
#include <string>

namespace platform::shell {

class IOpener {
 public:
  virtual ~IOpener() = default;
  // Opens the URI with the desktop's default handler without waiting for it;
  // false when no handler could be started.
  virtual bool OpenUri(const std::string& uri) = 0;
};

// g_app_info_launch_default_for_uri: the handler the user chose for the
// URI's scheme or, for a file:// URI, for the file's type (a folder opens in
// the file manager).
class GioOpener : public IOpener {
 public:
  bool OpenUri(const std::string& uri) override;
};

}  // namespace platform::shell
