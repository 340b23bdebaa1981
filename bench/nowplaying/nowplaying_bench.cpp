// Figures of the title rules and the page scan: the cost of one now-playing
// snapshot's normalisation, of the rules on a record field at its largest
// (3999 units), and of reading and searching describing pages of growing
// size (link at the very end, delivered like a network would).
#include <benchmark/benchmark.h>

#include "platform/http/fake_client.h"
#include "recorder/nowplaying/page_source.h"
#include "recorder/nowplaying/title_rules.h"

namespace {

void BM_NormalizeTypicalSnapshot(benchmark::State& state) {
  for (auto _ : state) {
    std::u16string artist;
    std::u16string title = u"01. Some Band - Blue Song (Live) [2004] -- CD 2 - Winamp";
    NormalizeNowPlaying(artist, title);
    benchmark::DoNotOptimize(title);
  }
}
BENCHMARK(BM_NormalizeTypicalSnapshot);

void BM_CleanLongestField(benchmark::State& state) {
  std::u16string text;
  while (text.size() < 3999) text += u"1. Blue (Live) Song [x] ";
  text.resize(3999);
  for (auto _ : state) benchmark::DoNotOptimize(CleanTitleText(text));
  state.SetBytesProcessed(state.iterations() * text.size() * sizeof(char16_t));
}
BENCHMARK(BM_CleanLongestField);

void BM_FetchPage(benchmark::State& state) {
  const std::string link = "RLNK('/album/?song=1');\">Blue Song</a>";
  std::string body;
  while (body.size() + link.size() < static_cast<size_t>(state.range(0))) body += "<td>RLNK('/x/');\"> ) > </td>\n";
  body += link;
  platform::http::FakeClient client;
  client.SetReply("http://x/", {{platform::http::Status::Ok, 200}, body, 16384});
  for (auto _ : state) {
    std::u16string author, title;
    benchmark::DoNotOptimize(FetchNowPlayingPage(client, u"http://x/", author, title));
  }
  state.SetBytesProcessed(state.iterations() * body.size());
}
BENCHMARK(BM_FetchPage)->Arg(64 << 10)->Arg(1 << 20)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
