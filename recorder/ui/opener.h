#pragma once
// Opening documents and folders the way the desktop opens them. The logic
// hands a URI to an IOpener; the real one asks GIO for the default handler.
#include <string>

namespace orvweb::ui {

class IOpener {
 public:
  virtual ~IOpener() = default;
  // Opens the URI with the desktop's default handler without waiting for it;
  // false when no handler could be started.
  virtual bool OpenUri(const std::string& uri) = 0;
};

// The help page of the user's language: message 135's address, or for a
// local ".aspx" page its ".htm" twin beside it when there is one.
std::string HelpPageUri();
bool OpenHelpPage(IOpener& opener);
// The songs folder (created when missing), as a file:// URI.
bool OpenSongsFolder(IOpener& opener);

}  // namespace orvweb::ui
