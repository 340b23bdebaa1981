#include "platform/http/text_decoder.h"

#include <langinfo.h>
#include <locale.h>

#include <bit>
#include <cerrno>
#include <cstdlib>

namespace platform::http {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

const char* Utf16Name() { return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE"; }

// The locale name the C library would pick for LC_CTYPE.
std::string LocaleName() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
  }
  return "C";
}

bool IsAscii(const std::string& charset) {
  return charset == "ANSI_X3.4-1968" || charset == "ASCII" || charset == "US-ASCII";
}

}  // namespace

std::string LocaleCharset() {
  std::string charset;
  if (locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr))) {
    if (const char* codeset = nl_langinfo_l(CODESET, locale)) charset = codeset;
    freelocale(locale);
  } else {
    // Not installed: "de_DE.ISO-8859-15@euro" still names its charset.
    const std::string name = LocaleName();
    const size_t dot = name.find('.');
    if (dot != std::string::npos) charset = name.substr(dot + 1, name.find('@', dot) - dot - 1);
  }
  if (charset.empty() || IsAscii(charset)) return "UTF-8";
  return charset;
}

TextDecoder::TextDecoder(const std::string& charset) : cd_(iconv_open(Utf16Name(), charset.c_str())) {
  if (cd_ == kNoConverter) cd_ = iconv_open(Utf16Name(), "UTF-8");
}

TextDecoder::~TextDecoder() {
  if (cd_ != kNoConverter) iconv_close(cd_);
}

void TextDecoder::Append(std::string_view bytes, std::u16string& out) {
  if (cd_ == kNoConverter) {  // no iconv at all: read the bytes as Latin-1
    for (const char byte : bytes) out.push_back(static_cast<unsigned char>(byte));
    return;
  }
  std::string input = std::move(pending_);
  pending_.clear();
  input.append(bytes);
  char* in = input.data();
  size_t inLeft = input.size();
  char16_t buffer[2048];
  while (inLeft > 0) {
    char* outPtr = reinterpret_cast<char*>(buffer);
    size_t outLeft = sizeof(buffer);
    const size_t rc = iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, (sizeof(buffer) - outLeft) / sizeof(char16_t));
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    if (errno == EINVAL) {  // the piece ends inside a character
      pending_.assign(in, inLeft);
      return;
    }
    // EILSEQ (or anything else): one replacement per byte that does not fit.
    out.push_back(kReplacement);
    ++in;
    --inLeft;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
  }
}

void TextDecoder::Finish(std::u16string& out) {
  if (!pending_.empty()) out.push_back(kReplacement);
  pending_.clear();
  if (cd_ != kNoConverter) iconv(cd_, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace platform::http
