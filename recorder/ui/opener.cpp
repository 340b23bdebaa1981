#include "recorder/ui/opener.h"

#include "platform/text/utf.h"
#include "recorder/app/endpoints.h"
#include "recorder/app/messages.h"
#include "recorder/app/settings.h"

namespace orvweb::ui {

bool OpenHelpPage(IOpener& opener) { return opener.OpenUri(platform::ToUtf8(LoadMessage(IDS_HELP_PAGE))); }

bool OpenSongsFolder(IOpener& opener) {
  // A folder name may hold spaces, "#" or "%": only a proper URI opens it.
  return opener.OpenUri(platform::ToUtf8(FileUrl(platform::ToUtf8(GetSongsFolder()))));
}

}  // namespace orvweb::ui
