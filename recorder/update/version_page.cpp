#include "recorder/update/version_page.h"

#include <limits>

#include "platform/text/utf.h"

namespace orvweb::update {
namespace {

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// Tokens split on "|" in the manner of wcstok: runs of separators count as one.
class Tokens {
 public:
  explicit Tokens(std::u16string_view text) : rest_(text) {}
  std::u16string_view Next() {
    const size_t start = rest_.find_first_not_of(u'|');
    if (start == std::u16string_view::npos) {
      rest_ = {};
      return {};
    }
    rest_.remove_prefix(start);
    const size_t end = rest_.find(u'|');
    const std::u16string_view token = rest_.substr(0, end);
    rest_.remove_prefix(end == std::u16string_view::npos ? rest_.size() : end + 1);
    return token;
  }

 private:
  std::u16string_view rest_;
};

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool NamesLibrary(std::u16string_view url) {
  std::u16string lower(url);
  for (char16_t& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return lower.find(u".dll") != std::u16string::npos;
}

}  // namespace

int32_t DecimalValue(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > kLimit) value = kLimit;  // held here: more digits cannot bring it back
  }
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(value >= kLimit ? kLimit - 1 : value);
}

std::optional<Offer> ParseVersionPage(std::string_view page, int64_t currentVersion) {
  if (page.empty() || page.size() > kMaxVersionPageBytes) return std::nullopt;
  // The page is C text: a NUL byte ends it.
  page = page.substr(0, page.find('\0'));
  const std::u16string text = platform::FromUtf8(page);

  Tokens tokens(text);
  const std::u16string_view version = tokens.Next();
  if (!version.empty() && currentVersion >= DecimalValue(version)) return std::nullopt;
  const std::u16string_view url = Trim(tokens.Next());
  if (url.empty()) return std::nullopt;
  const std::u16string_view signatureUrl = Trim(tokens.Next());
  return Offer{std::u16string(url), std::u16string(signatureUrl), NamesLibrary(url)};
}

}  // namespace orvweb::update
