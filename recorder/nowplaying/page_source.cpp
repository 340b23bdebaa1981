#include "recorder/nowplaying/page_source.h"

#include <string_view>

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
                         std::u16string& title) {
  platform::http::Options options;
  options.agent = "WebBrowser";
  options.schemes = platform::http::Schemes::HttpOrHttps;
  options.connectTimeoutMs = 5000;
  options.totalTimeoutMs = 20000;
  options.maxBodyBytes = 8u << 20;

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
