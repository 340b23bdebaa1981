#include "platform/http/stream_name.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "platform/http/curl_common.h"

namespace platform::http {
namespace {

constexpr size_t kMaxHeaderBytes = 16 * 1024;

struct Reading {
  std::optional<std::string> name;
  size_t headerBytes = 0;
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* reading = static_cast<Reading*>(user);
  const size_t bytes = size * count;
  reading->headerBytes += bytes;
  if (reading->headerBytes > kMaxHeaderBytes) return 0;  // no stream sends this much
  std::string line(data, bytes);
  // Every answer of a redirect chain starts afresh.
  if (line.rfind("HTTP/", 0) == 0 || line.rfind("ICY ", 0) == 0) reading->name.reset();
  const std::string key = "icy-name:";
  if (line.size() < key.size()) return bytes;
  std::string head = line.substr(0, key.size());
  std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
  if (head != key) return bytes;
  std::string value = line.substr(key.size());
  const auto blank = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!value.empty() && blank(value.back())) value.pop_back();
  value.erase(value.begin(), std::find_if_not(value.begin(), value.end(), blank));
  if (!value.empty()) reading->name = value;
  return bytes;
}

// The first byte of the body ends the request: the headers are all in.
size_t OnBody(char*, size_t, size_t, void*) { return 0; }

}  // namespace

std::optional<std::string> ReadStreamName(const std::string& url, const StreamNameOptions& options) {
  if (!curl::IsAllowedAddress(url, Schemes::HttpOrHttps)) return std::nullopt;
  curl::GlobalInit();
  std::unique_ptr<CURL, curl::EasyDeleter> easy(curl_easy_init());
  if (!easy) return std::nullopt;
  Reading reading;
  CURL* e = easy.get();
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 3L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max(options.connectTimeoutMs, 1)));
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max(options.totalTimeoutMs, 1)));
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &reading);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_perform(e);  // ends at the first body byte, by design an "error"
  long code = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &code);
  if (code != 200) return std::nullopt;
  return reading.name;
}

}  // namespace platform::http
