#include "platform/http/fake_client.h"

#include <algorithm>

namespace platform::http {

void FakeClient::SetReply(const std::string& url, Reply reply) {
  std::lock_guard lock(mutex_);
  replies_[url] = std::move(reply);
}

Result FakeClient::Get(const std::string& url, const Options& options, const BodySink& sink) {
  Reply reply;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back({url, options});
    const auto it = replies_.find(url);
    if (it == replies_.end()) return Result{Status::Failed, 0};
    reply = it->second;
  }
  if (options.onlyStatus != 0 && reply.result.ok() && reply.result.httpCode != options.onlyStatus) {
    return reply.result;  // the body of another status never reaches the sink
  }
  // The cap and the sink's veto behave as with the real client.
  const size_t step = std::max<size_t>(reply.pieceSize, 1);
  uint64_t delivered = 0;
  for (size_t at = 0; at < reply.body.size(); at += step) {
    if (options.cancel && options.cancel->load()) return Result{Status::Aborted, reply.result.httpCode};
    const size_t size = std::min(step, reply.body.size() - at);
    if (delivered + size > options.maxBodyBytes) return Result{Status::TooLarge, reply.result.httpCode};
    delivered += size;
    if (sink && !sink(reply.body.data() + at, size)) return Result{Status::Aborted, reply.result.httpCode};
  }
  return reply.result;
}

std::vector<FakeClient::Request> FakeClient::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

}  // namespace platform::http
