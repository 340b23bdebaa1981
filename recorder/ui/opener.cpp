#include "recorder/ui/opener.h"

#include <cctype>
#include <filesystem>
#include <string_view>

#include "platform/text/utf.h"
#include "recorder/core/endpoints.h"
#include "recorder/core/messages.h"
#include "recorder/core/settings.h"

namespace orvweb::ui {

namespace {

// The path of a file:// URI with its %-escapes undone; empty for others.
std::string LocalPath(std::string_view uri) {
  constexpr std::string_view kScheme = "file://";
  if (!uri.starts_with(kScheme)) return {};
  std::string path;
  for (size_t i = kScheme.size(); i < uri.size(); ++i) {
    if (uri[i] == '%' && i + 2 < uri.size() && std::isxdigit(static_cast<unsigned char>(uri[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(uri[i + 2]))) {
      path += static_cast<char>(std::stoi(std::string(uri.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      path += uri[i];
    }
  }
  return path;
}

}  // namespace

std::string HelpPageUri() {
  std::string uri = platform::ToUtf8(LoadMessage(IDS_HELP_PAGE));
  // A browser opening a local file judges its type by the name and shows an
  // ".aspx" page as source text; a bundled folder holds the same page as
  // "help.htm" too, which is opened instead. A server's answer names its type.
  constexpr std::string_view kServerPage = ".aspx";
  if (!uri.ends_with(kServerPage)) return uri;
  const std::string local = LocalPath(uri);
  if (local.empty()) return uri;
  const std::string htm = local.substr(0, local.size() - kServerPage.size()) + ".htm";
  std::error_code error;
  if (!std::filesystem::is_regular_file(htm, error)) return uri;
  return uri.substr(0, uri.size() - kServerPage.size()) + ".htm";
}

bool OpenHelpPage(IOpener& opener) { return opener.OpenUri(HelpPageUri()); }

bool OpenSongsFolder(IOpener& opener) {
  // A folder name may hold spaces, "#" or "%": only a proper URI opens it.
  return opener.OpenUri(platform::ToUtf8(FileUrl(platform::ToUtf8(GetSongsFolder()))));
}

}  // namespace orvweb::ui
