#pragma once
// 8-bit web content to UTF-16. Pages and version files arrive in whatever
// charset their server used; like a desktop program of its kind, the
// recorder reads them in the charset of the user's locale.
#include <iconv.h>

#include <string>
#include <string_view>

namespace platform::http {

// The charset of the user's locale (LC_ALL, else LC_CTYPE, else LANG) as
// iconv names it, for example "UTF-8" or "ISO-8859-1". A locale that is not
// installed still yields the charset its name states. The plain C/POSIX
// locale, whose charset is ASCII, answers "UTF-8": a superset of ASCII and
// what the web mostly sends.
std::string LocaleCharset();

// Converts 8-bit text to UTF-16 through iconv, piece by piece. A multi-byte
// character cut at the end of one piece is completed by the next; bytes that
// do not convert become U+FFFD each.
class TextDecoder {
 public:
  explicit TextDecoder(const std::string& charset = LocaleCharset());
  ~TextDecoder();
  TextDecoder(const TextDecoder&) = delete;
  TextDecoder& operator=(const TextDecoder&) = delete;

  void Append(std::string_view bytes, std::u16string& out);
  // Ends the text: a dangling partial character becomes U+FFFD, and the next
  // Append starts afresh.
  void Finish(std::u16string& out);

 private:
  iconv_t cd_;
  std::string pending_;
};

}  // namespace platform::http
