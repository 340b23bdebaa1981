#include "recorder/resources/resources.h"

#include <gio/gio.h>

#include <string_view>

extern "C" GResource* orvweb_get_resource(void);

namespace orvweb::resources {
namespace {

std::string MimeOf(std::string_view path) {
  const auto ends = [path](std::string_view ext) {
    return path.size() >= ext.size() && path.substr(path.size() - ext.size()) == ext;
  };
  if (ends(".gif")) return "image/gif";
  if (ends(".png")) return "image/png";
  if (ends(".svg")) return "image/svg+xml";
  if (ends(".css")) return "text/css";
  // The loading page has no extension.
  return "text/html";
}

bool Exists(const std::string& path) {
  return g_resource_get_info(orvweb_get_resource(), ResourcePath(path).c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE,
                             nullptr, nullptr, nullptr) != FALSE;
}

}  // namespace

std::string ResourcePath(const std::string& path) { return "/orvweb/" + path; }

bool Lookup(const std::string& path, std::string& bytes, std::string& mimeType) {
  // Resource paths never climb out of the bundle.
  if (path.empty() || path.find("..") != std::string::npos) return false;
  GBytes* data = g_resource_lookup_data(orvweb_get_resource(), ResourcePath(path).c_str(),
                                        G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (!data) {
    // The window's load sequence starts from this page: it must never be missing.
    if (path != "LoadingPage") return false;
    bytes =
        "<html><body id=\"COrvWebRecorderDlg\" style=\"background-color:#c6e1f9;color:black\">"
        "<table width=\"100%\" height=\"100%\"><tr><td valign=\"middle\" align=\"center\" width=\"100%\""
        " style=\"font-size:12px;font-family:Verdana, Arial\">Loading...</td></tr></table></body></html>";
    mimeType = "text/html";
    return true;
  }
  gsize size = 0;
  const auto* raw = static_cast<const char*>(g_bytes_get_data(data, &size));
  bytes.assign(raw ? raw : "", size);
  g_bytes_unref(data);
  mimeType = MimeOf(path);
  return true;
}

std::vector<std::string> IconPaths(int iconId) {
  const std::string base = "icons/" + std::to_string(iconId);
  std::vector<std::string> paths;
  for (const std::string& p : {base + ".png", base + "-48.png", base + "-32.png", base + "-16.png"}) {
    if (Exists(p)) paths.push_back(ResourcePath(p));
  }
  return paths;
}

}  // namespace orvweb::resources
