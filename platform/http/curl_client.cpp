#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "platform/http/curl_common.h"
#include "platform/http/http.h"

namespace platform::http {
namespace {

using curl::EasyDeleter;
using curl::GlobalInit;
using curl::IsAllowedAddress;

constexpr long kMaxRedirects = 10;

struct Transfer {
  CURL* easy = nullptr;
  long onlyStatus = 0;
  bool statusChecked = false;
  bool refusedStatus = false;
  const BodySink* sink = nullptr;
  uint64_t maxBytes = 0;
  uint64_t received = 0;
  bool tooLarge = false;
  bool aborted = false;
  const std::atomic<bool>* cancel = nullptr;
};

// libcurl asks this about once a second even while no data moves.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<Transfer*>(user);
  if (!transfer->cancel || !transfer->cancel->load()) return 0;
  transfer->aborted = true;
  return 1;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (transfer->onlyStatus != 0 && !transfer->statusChecked) {
    // The headers of the final answer are in by its first body byte.
    transfer->statusChecked = true;
    long code = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &code);
    if (code != transfer->onlyStatus) {
      transfer->refusedStatus = true;
      return CURL_WRITEFUNC_ERROR;
    }
  }
  if (bytes > transfer->maxBytes - transfer->received) {
    transfer->tooLarge = true;
    return CURL_WRITEFUNC_ERROR;
  }
  transfer->received += bytes;
  if (!*transfer->sink) return bytes;
  try {
    if ((*transfer->sink)(data, bytes)) return bytes;
  } catch (...) {
    // An exception must not unwind through libcurl; it ends the transfer.
  }
  transfer->aborted = true;
  return CURL_WRITEFUNC_ERROR;
}

// Honour the usual variables that name trusted certificates, so a private CA
// can be trusted without touching the system. OpenSSL's own SSL_CERT_FILE
// comes first: it is the more specific choice where both are set.
void SetCertificateAuthorities(CURL* easy) {
  const char* bundle = std::getenv("SSL_CERT_FILE");
  if (!bundle || !*bundle) bundle = std::getenv("CURL_CA_BUNDLE");
  if (bundle && *bundle) curl_easy_setopt(easy, CURLOPT_CAINFO, bundle);
  const char* folder = std::getenv("SSL_CERT_DIR");
  if (folder && *folder) curl_easy_setopt(easy, CURLOPT_CAPATH, folder);
}

class CurlClient : public Client {
 public:
  CurlClient() {
    GlobalInit();
    easy_.reset(curl_easy_init());
  }

  Result Get(const std::string& url, const Options& options, const BodySink& sink) override {
    Result result;
    if (!IsAllowedAddress(url, options.schemes)) {
      result.status = Status::BadAddress;
      return result;
    }
    if (!easy_) return result;
    CURL* easy = easy_.get();
    // A reset keeps the session's connections but no option of the last call.
    curl_easy_reset(easy);

    const char* protocols = options.schemes == Schemes::HttpsOnly ? "https" : "http,https";
    Transfer transfer;
    transfer.easy = easy;
    transfer.onlyStatus = options.onlyStatus;
    transfer.sink = &sink;
    transfer.maxBytes = options.maxBodyBytes;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, protocols);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, options.followRedirects ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    if (!options.agent.empty()) curl_easy_setopt(easy, CURLOPT_USERAGENT, options.agent.c_str());
    // 0 would mean "no limit" to libcurl; every request here is bounded.
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max(options.connectTimeoutMs, 1)));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max(options.totalTimeoutMs, 1)));
    // Refuse early when the server announces a longer body.
    if (options.maxBodyBytes < static_cast<uint64_t>(INT64_MAX)) {
      curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxBodyBytes));
    }
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    if (options.cancel) {
      if (options.cancel->load()) {
        result.status = Status::Aborted;
        return result;
      }
      transfer.cancel = options.cancel;
      curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &OnProgress);
      curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
      curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    }
    SetCertificateAuthorities(easy);

    const CURLcode code = curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.httpCode);
    switch (code) {
      case CURLE_OK:
        result.status = Status::Ok;
        break;
      case CURLE_ABORTED_BY_CALLBACK:
        result.status = Status::Aborted;
        break;
      case CURLE_WRITE_ERROR:
        result.status = transfer.refusedStatus ? Status::Ok
                        : transfer.tooLarge    ? Status::TooLarge
                        : transfer.aborted     ? Status::Aborted
                                               : Status::Failed;
        break;
      case CURLE_FILESIZE_EXCEEDED:
        result.status = Status::TooLarge;
        break;
      case CURLE_OPERATION_TIMEDOUT:
        result.status = Status::TimedOut;
        break;
      case CURLE_UNSUPPORTED_PROTOCOL:  // also a redirect to a refused scheme
      case CURLE_URL_MALFORMAT:
        result.status = Status::BadAddress;
        break;
      default:
        result.status = Status::Failed;
        break;
    }
    return result;
  }

 private:
  std::unique_ptr<CURL, EasyDeleter> easy_;
};

}  // namespace

std::unique_ptr<Client> MakeCurlClient() { return std::make_unique<CurlClient>(); }

}  // namespace platform::http
