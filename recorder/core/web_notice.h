#pragma once
// Fire-and-forget requests that tell the product's notice server about the
// program's start and its recordings. The caller waits for the request but
// never learns how it went.
#include <memory>
#include <string>
#include <string_view>

#include "platform/http/http.h"

namespace orvweb {

// Pages of the notice server.
inline constexpr std::u16string_view kNoticeFirstStart = u"Start2.htm";
inline constexpr std::u16string_view kNoticeRecordStarted = u"start.htm";
inline constexpr std::u16string_view kNoticeRecordStopped = u"stop.htm";
inline constexpr std::u16string_view kNoticeStartFailed = u"starterr.htm";

class IWebNotice {
 public:
  virtual ~IWebNotice() = default;
  virtual void Send(std::u16string_view page) = 0;
};

// NoticeBase() + "/" + page.
std::string NoticeUrl(std::u16string_view page);

// The real notice over HTTP: agent "OrvWeb", the answer is not read, every
// failure is swallowed, and the time-outs are short because the window
// thread waits for the request.
class WebNotice final : public IWebNotice {
 public:
  // nullptr: a session of the real client.
  explicit WebNotice(std::unique_ptr<platform::http::Client> client = nullptr);
  void Send(std::u16string_view page) override;

  static platform::http::Options RequestOptions();

 private:
  std::unique_ptr<platform::http::Client> client_;
};

}  // namespace orvweb
