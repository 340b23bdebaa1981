// Random bodies, delivered in random pieces and read in random charsets: the
// page fetch must take only what its links allow, and decoding in pieces must
// give the same text as decoding at once.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <string>

#include "platform/http/fake_client.h"
#include "platform/http/text_decoder.h"
#include "recorder/nowplaying/page_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kLocales[] = {"C.UTF-8", "de_DE.ISO-8859-1", "ja_JP.SHIFT_JIS", "zh_CN.GB18030",
                                         "ja_JP.ISO-2022-JP", "ru_RU.KOI8-R"};
  FuzzedDataProvider input(data, size);
  const char* locale = input.PickValueInArray(kLocales);
  const size_t pieceSize = input.ConsumeIntegralInRange<size_t>(1, 20000);
  const std::string body = input.ConsumeRemainingBytesAsString();
  setenv("LC_ALL", locale, 1);

  // Whole against pieces; a NUL byte is just a byte here.
  const std::string charset = platform::http::LocaleCharset();
  std::u16string whole;
  std::u16string pieces;
  {
    platform::http::TextDecoder decoder(charset);
    decoder.Append(body, whole);
    decoder.Finish(whole);
  }
  {
    platform::http::TextDecoder decoder(charset);
    for (size_t at = 0; at < body.size(); at += pieceSize) decoder.Append(body.substr(at, pieceSize), pieces);
    decoder.Finish(pieces);
  }
  // Stateful charsets (ISO-2022-JP) may differ after a broken byte; the
  // stateless ones must agree exactly.
  if (charset != "ISO-2022-JP" && whole != pieces) __builtin_trap();

  platform::http::FakeClient client;
  client.SetReply("http://x/", {{platform::http::Status::Ok, 200}, body, pieceSize});
  std::u16string author = u"a";
  std::u16string title = u"t";
  if (!FetchNowPlayingPage(client, u"http://x/", author, title)) __builtin_trap();
  for (const std::u16string* value : {&author, &title}) {
    if (value->empty() || value->find(u'>') != std::u16string::npos) __builtin_trap();
  }
  return 0;
}
