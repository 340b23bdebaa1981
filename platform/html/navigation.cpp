#include "platform/html/navigation.h"

#include <glib.h>

#include "platform/loop/glib_ptr.h"

#include <memory>

namespace platform::html {

namespace {

using GString8 = platform::GCharPtr;
struct UriFree {
  void operator()(GUri* u) const { g_uri_unref(u); }
};

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

struct Origin {
  std::string scheme, host;
  int port = -1;
  bool operator==(const Origin&) const = default;
};

bool OriginOf(const std::string& uri, Origin& origin) {
  std::unique_ptr<GUri, UriFree> parsed(g_uri_parse(uri.c_str(), G_URI_FLAGS_NONE, nullptr));
  if (!parsed || !g_uri_get_host(parsed.get()) || !*g_uri_get_host(parsed.get())) return false;
  origin.scheme = Lower(g_uri_get_scheme(parsed.get()));
  origin.host = Lower(g_uri_get_host(parsed.get()));
  origin.port = g_uri_get_port(parsed.get());
  if (origin.port == -1) origin.port = origin.scheme == "https" ? 443 : origin.scheme == "http" ? 80 : -1;
  return true;
}

// The decoded path of a file URI; empty when it is none or climbs with "..".
std::string FilePathOf(const std::string& uri) {
  if (UriScheme(uri) != "file") return {};
  GString8 path(g_filename_from_uri(uri.c_str(), nullptr, nullptr));
  if (!path) return {};
  const std::string p = path.get();
  if (p.find("/../") != std::string::npos || p.find("/./") != std::string::npos ||
      p.ends_with("/..") || p.ends_with("/."))
    return {};
  return p;
}

bool SameFolder(const std::string& home, const std::string& uri) {
  const std::string base = FilePathOf(home), path = FilePathOf(uri);
  if (base.empty() || path.empty()) return false;
  const std::string folder = base.substr(0, base.rfind('/') + 1);
  return path.compare(0, folder.size(), folder) == 0;
}

}  // namespace

std::string UriScheme(const std::string& uri) {
  GString8 scheme(g_uri_parse_scheme(uri.c_str()));
  return scheme ? Lower(scheme.get()) : std::string();
}

void NavigationRules::SetHome(const std::string& url) { homes_.assign(1, url); }

void NavigationRules::AddRedirect(const std::string& url) {
  const std::string scheme = UriScheme(url);
  if (scheme == "http" || scheme == "https") homes_.push_back(url);
}

bool NavigationRules::StaysInView(const std::string& url) const {
  const std::string scheme = UriScheme(url);
  if (scheme == "res" || url == "about:blank") return true;
  for (const std::string& home : homes_) {
    if (scheme == "file") {
      if (SameFolder(home, url)) return true;
      continue;
    }
    if (scheme != "http" && scheme != "https") continue;
    Origin target, origin;
    if (OriginOf(url, target) && OriginOf(home, origin) && target == origin) return true;
  }
  return false;
}

}  // namespace platform::html
