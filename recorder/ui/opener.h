#pragma once
// What the main window opens with the desktop's default handlers.
#include <string>

#include "platform/shell/opener.h"

namespace orvweb::ui {

using platform::shell::IOpener;

// The help page of the user's language: message 135's address, or for a
// local ".aspx" page its ".htm" twin beside it when there is one.
std::string HelpPageUri();
bool OpenHelpPage(IOpener& opener);
// The songs folder (created when missing), as a file:// URI.
bool OpenSongsFolder(IOpener& opener);

}  // namespace orvweb::ui
