#include "recorder/core/web_notice.h"

#include "platform/text/utf.h"
#include "recorder/core/endpoints.h"

namespace orvweb {

std::string NoticeUrl(std::u16string_view page) {
  return platform::ToUtf8(NoticeBase()) + "/" + platform::ToUtf8(page);
}

platform::http::Options WebNotice::RequestOptions() {
  platform::http::Options options;
  options.agent = "OrvWeb";
  options.connectTimeoutMs = 3000;
  options.totalTimeoutMs = 5000;
  options.maxBodyBytes = 64 * 1024;
  return options;
}

WebNotice::WebNotice(std::unique_ptr<platform::http::Client> client) : client_(std::move(client)) {}

void WebNotice::Send(std::u16string_view page) {
  try {
    if (!client_) client_ = platform::http::MakeCurlClient();
    if (!client_) return;
    // The answer does not matter: the first piece of it ends the transfer.
    client_->Get(NoticeUrl(page), RequestOptions(), [](const char*, size_t) { return false; });
  } catch (...) {
    // A notice never disturbs its caller.
  }
}

}  // namespace orvweb
