#include "platform/http/curl_common.h"

#include <memory>
#include <mutex>

namespace platform::http::curl {
namespace {

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

}  // namespace

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsAllowedAddress(const std::string& url, Schemes schemes) {
  if (url.find('\0') != std::string::npos) return false;
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return false;
  }
  char* scheme = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || !scheme) return false;
  const std::string name(scheme);
  curl_free(scheme);
  return name == "https" || (name == "http" && schemes == Schemes::HttpOrHttps);
}

}  // namespace platform::http::curl
