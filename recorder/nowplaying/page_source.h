#pragma once
// Artist and title taken from the web page that describes the current item,
// for streams that name such a page but no usable artist or title.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/http/http.h"
#include "platform/loop/loop.h"

// True when the snapshot's names must come from its page: an address is
// given and the author or the title is empty, or the title is the
// placeholder "generate" in any letter case.
bool NeedsNowPlayingPage(const std::u16string& address, const std::u16string& author, const std::u16string& title);

// Fetches the page (agent "WebBrowser", the address as given) and takes the
// title from its first song link and the author from its first artist link,
// each exactly as written in the page; a value whose link is missing stays
// as it was. The body is read in 10240-byte pieces, each converted from the
// locale's charset up to its first NUL byte.
//
// Returns false when the page could not be read: an address that is not
// http or https, a host that does not answer within the time-out, a body
// over 8 MiB, or a broken transfer. The caller then handles no song change
// for this snapshot. Any HTTP response counts as read, so an error page
// simply yields no links.
// cancel, when set from another thread, breaks the fetch off (false).
bool FetchNowPlayingPage(platform::http::Client& client, const std::u16string& address, std::u16string& author,
                         std::u16string& title, const std::atomic<bool>* cancel = nullptr);

// The same over a new session of the real client.
bool FetchNowPlayingPage(const std::u16string& address, std::u16string& author, std::u16string& title);

// Reads describing pages off the window thread, one at a time: a page can
// take up to 20 s, and the window's timers and song splits must not wait for
// it. The result comes back on the loop's thread.
class PageFetcher : private platform::Window {
 public:
  struct Result {
    bool read = false;  // as FetchNowPlayingPage returns it
    std::u16string author;
    std::u16string title;
  };
  using Done = std::function<void(Result)>;
  // The session per fetch; nullptr: none (the fetch fails).
  using OpenSession = std::function<std::unique_ptr<platform::http::Client>()>;

  PageFetcher(platform::Loop& loop, OpenSession openSession);
  // Breaks a fetch in flight off and waits for it a bounded time; a fetch
  // that outlives the wait ends on its own and its result is dropped.
  ~PageFetcher() override;

  // Starts reading the page for these names unless a fetch runs (false).
  // done runs on the loop's thread, unless this object went first.
  bool Start(std::u16string address, std::u16string author, std::u16string title, Done done);
  bool busy() const { return busy_; }

 private:
  struct Job;
  void OnMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

  OpenSession openSession_;
  std::shared_ptr<Job> job_;
  std::thread thread_;
  Done done_;
  bool busy_ = false;
};
