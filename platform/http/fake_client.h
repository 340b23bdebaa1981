#pragma once
// A scripted stand-in for the HTTP client: replies by address, delivered to
// the sink in pieces of a chosen size, and a record of every request.
#include <map>
#include <mutex>
#include <vector>

#include "platform/http/http.h"

namespace platform::http {

class FakeClient : public Client {
 public:
  struct Reply {
    Result result{Status::Ok, 200};
    std::string body;     // delivered even when result fails: a read that broke off
    size_t pieceSize = 4096;
  };
  struct Request {
    std::string url;
    Options options;
  };

  // An address without a reply fails like an unreachable host.
  void SetReply(const std::string& url, Reply reply);

  Result Get(const std::string& url, const Options& options, const BodySink& sink) override;

  std::vector<Request> requests() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Reply> replies_;
  std::vector<Request> requests_;
};

}  // namespace platform::http
