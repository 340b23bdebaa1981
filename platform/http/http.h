#pragma once
// HTTP(S) client. A Client is one session: requests made through the same
// object may share connections. Only http and https are ever spoken, also on
// redirects; time-outs and a body cap bound every request, so an address
// taken from untrusted data can neither read local files nor hang the caller.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform::http {

enum class Schemes { HttpOrHttps, HttpsOnly };

struct Options {
  std::string agent;                       // the User-Agent header
  Schemes schemes = Schemes::HttpOrHttps;  // https is always certificate-verified
  int connectTimeoutMs = 5000;
  int totalTimeoutMs = 20000;
  uint64_t maxBodyBytes = 8u << 20;
  bool followRedirects = true;
  // When not 0, only a final answer with this status hands its body to the
  // sink; any other ends the request before the sink sees a byte of it
  // (Status::Ok with that httpCode), so an error page is never taken for data.
  long onlyStatus = 0;
  // Set from any thread to end the request early (Status::Aborted), also
  // while the server sends nothing: a program that exits must not wait out a
  // stalled download. Not owned; must outlive the request.
  const std::atomic<bool>* cancel = nullptr;
};

enum class Status {
  Ok,          // a response arrived (any HTTP status code; see Result::httpCode)
  BadAddress,  // not a URL, or a scheme that is not allowed
  Failed,      // name lookup, connection, TLS or protocol failure
  TimedOut,
  TooLarge,    // the body passed Options::maxBodyBytes
  Aborted,     // the sink asked to stop
};

struct Result {
  Status status = Status::Failed;
  long httpCode = 0;  // 0 when no response arrived
  bool ok() const { return status == Status::Ok; }
};

// Receives the body in pieces as they arrive; returning false abandons the
// transfer (Status::Aborted).
using BodySink = std::function<bool(const char* data, size_t size)>;

class Client {
 public:
  virtual ~Client() = default;
  virtual Result Get(const std::string& url, const Options& options, const BodySink& sink) = 0;
};

// The real client over libcurl; proxies come from the usual environment
// variables (http_proxy, https_proxy, no_proxy), trusted certificates from
// SSL_CERT_FILE (else CURL_CA_BUNDLE) and SSL_CERT_DIR when they are set.
std::unique_ptr<Client> MakeCurlClient();

}  // namespace platform::http
