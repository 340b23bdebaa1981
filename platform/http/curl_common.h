// libcurl pieces shared by the HTTP client and the stream-name reader.
#pragma once

#include <curl/curl.h>

#include <string>

#include "platform/http/http.h"

namespace platform::http::curl {

// Initialises libcurl once per process, whoever asks first.
void GlobalInit();

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

// Only an absolute address with an allowed scheme gets as far as libcurl, so
// nothing is guessed ("example.com/x" is no address) and no local file or
// other protocol is ever opened.
bool IsAllowedAddress(const std::string& url, Schemes schemes);

}  // namespace platform::http::curl
