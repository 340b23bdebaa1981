#include "recorder/nowplaying/page_source.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/http/text_decoder.h"
#include "platform/text/utf.h"
#include "recorder/nowplaying/pattern.h"

namespace {

constexpr size_t kPieceBytes = 10240;

constexpr std::u16string_view kSongLink = u"RLNK\\(\\'/album/\\?song=[^\\)]+\\);\\\"\\>{[^>]+}</a>";
constexpr std::u16string_view kArtistLink = u"RLNK\\(\\'/artist/\\?artist=[^\\)]+\\);\\\"\\>{[^>]+}</a>";

// Cuts the body into the pieces a fixed-size read would give, whatever sizes
// the network delivers, and keeps of each piece its text before a NUL byte.
class PageText {
 public:
  void Add(const char* data, size_t size) {
    while (size > 0) {
      const size_t take = std::min(size, kPieceBytes - piece_.size());
      piece_.append(data, take);
      data += take;
      size -= take;
      if (piece_.size() == kPieceBytes) EndPiece();
    }
  }

  std::u16string Finish() {
    EndPiece();
    decoder_.Finish(text_);
    return std::move(text_);
  }

 private:
  void EndPiece() {
    const size_t nul = piece_.find('\0');
    decoder_.Append(std::string_view(piece_).substr(0, nul), text_);
    // The rest of a piece cut by a NUL is lost, so nothing carries over.
    if (nul != std::string::npos) decoder_.Finish(text_);
    piece_.clear();
  }

  platform::http::TextDecoder decoder_;
  std::string piece_;
  std::u16string text_;
};

bool EqualsIgnoringAsciiCase(std::u16string_view text, std::u16string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Replaces value with group 0 of the pattern's first match, if any.
bool TakeLink(std::u16string_view pattern, const std::u16string& page, std::u16string& value) {
  const std::optional<nowplaying::Pattern> parsed = nowplaying::Pattern::Parse(pattern);
  if (!parsed) return false;
  if (const auto group0 = parsed->FindGroup0(page)) value = page.substr(group0->begin, group0->length);
  return true;
}

}  // namespace

bool NeedsNowPlayingPage(const std::u16string& address, const std::u16string& author, const std::u16string& title) {
  // No letter of "generate" has a case partner outside ASCII, so ASCII
  // folding is a full case-insensitive comparison here.
  return !address.empty() && (author.empty() || title.empty() || EqualsIgnoringAsciiCase(title, u"generate"));
}

bool FetchNowPlayingPage(platform::http::Client& client, const std::u16string& address, std::u16string& author,
                         std::u16string& title, const std::atomic<bool>* cancel) {
  platform::http::Options options;
  options.agent = "WebBrowser";
  options.schemes = platform::http::Schemes::HttpOrHttps;
  options.connectTimeoutMs = 5000;
  options.totalTimeoutMs = 20000;
  options.maxBodyBytes = 8u << 20;
  options.cancel = cancel;

  PageText text;
  const platform::http::Result result =
      client.Get(platform::ToUtf8(address), options, [&text](const char* data, size_t size) {
        text.Add(data, size);
        return true;
      });
  if (!result.ok()) return false;
  const std::u16string page = text.Finish();

  return TakeLink(kSongLink, page, title) && TakeLink(kArtistLink, page, author);
}

bool FetchNowPlayingPage(const std::u16string& address, std::u16string& author, std::u16string& title) {
  const std::unique_ptr<platform::http::Client> client = platform::http::MakeCurlClient();
  return FetchNowPlayingPage(*client, address, author, title);
}

namespace {

constexpr uint32_t kPageReadMessage = 1;
// How long the window waits at its end for a fetch it broke off.
constexpr auto kStopWait = std::chrono::milliseconds(2000);
constexpr auto kPostRetry = std::chrono::milliseconds(20);

}  // namespace

struct PageFetcher::Job {
  std::atomic<bool> cancel{false};
  std::mutex mutex;
  std::condition_variable ended;
  bool finished = false;            // guarded by mutex
  platform::Window* owner = nullptr;  // guarded by mutex; nullptr once the fetcher went
  Result result;                    // the worker's until finished
};

PageFetcher::PageFetcher(platform::Loop& loop, OpenSession openSession)
    : Window(loop), openSession_(std::move(openSession)) {}

PageFetcher::~PageFetcher() {
  if (!job_) return;
  job_->cancel = true;
  std::unique_lock lock(job_->mutex);
  job_->owner = nullptr;
  const bool ended = job_->ended.wait_for(lock, kStopWait, [this] { return job_->finished; });
  lock.unlock();
  // A worker that did not end in time holds its own share of the job and
  // touches nothing of this object any more.
  if (ended) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

bool PageFetcher::Start(std::u16string address, std::u16string author, std::u16string title, Done done) {
  if (busy_) return false;
  auto job = std::make_shared<Job>();
  job->owner = this;
  job->result.author = std::move(author);
  job->result.title = std::move(title);
  thread_ = std::thread([job, open = openSession_, address = std::move(address)] {
    Result result = job->result;
    try {
      const std::unique_ptr<platform::http::Client> client = open ? open() : nullptr;
      result.read = client && FetchNowPlayingPage(*client, address, result.author, result.title, &job->cancel);
    } catch (...) {
      result.read = false;  // out of memory: the page counts as unread
    }
    {
      std::lock_guard lock(job->mutex);
      job->result = std::move(result);
      job->finished = true;
      job->ended.notify_all();
    }
    // A post lost to a full queue would leave the fetcher busy for good: it
    // is tried again while the fetcher lives. Under the lock, so the fetcher
    // cannot go away during the post.
    for (;;) {
      {
        std::lock_guard lock(job->mutex);
        if (!job->owner || job->owner->PostMessage(kPageReadMessage)) return;
      }
      std::this_thread::sleep_for(kPostRetry);
    }
  });
  job_ = std::move(job);
  done_ = std::move(done);
  busy_ = true;
  return true;
}

void PageFetcher::OnMessage(uint32_t msg, uintptr_t, intptr_t) {
  if (msg != kPageReadMessage || !job_) return;
  thread_.join();  // its last act was the post
  Result result = std::move(job_->result);
  job_.reset();
  busy_ = false;
  // Taken out first: done may start the next fetch.
  Done done = std::move(done_);
  if (done) done(std::move(result));
}
