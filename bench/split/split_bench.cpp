// Figures of the split look-back; prints them and asserts nothing.
//  (a) foreign audio at a split: music-like songs with short, slightly noisy
//      gaps of varying length, title changes arriving at a fixed lag with a
//      little jitter; for each song file, how much of the neighbouring songs
//      it holds at its head and at its tail (ms, median and max over 10
//      boundaries), with "SplitSearch" 0 (split where the title arrives) and
//      3000 in the same run, at lags -2.8 s and -0.7 s (titles that come
//      before the boundary is heard) and 0.4 s and 0.8 s;
//      and how long after the title each split is decided (the old file is
//      written meanwhile);
//  (b) CPU cost of the delay line per capture buffer, its ring in memory and
//      in the journal file, beside the plain path that hands the buffer
//      straight on (ratio, same run).
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "recorder/engine/split_search.h"

namespace {

using orvweb::PcmSink;
using orvweb::SplitDelayLine;

constexpr uint32_t kRate = 44100;
constexpr size_t kBuffer = 2500;  // frames of the default 10000-byte capture buffer
constexpr int kBoundaries = 10;

platform::audio::WaveFormat Stereo() { return {1, 2, kRate, kRate * 4, 4, 16, 0}; }

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Program {
  std::vector<int16_t> pcm;
  std::vector<int8_t> owner;      // song per frame, -1 in a gap
  std::vector<uint64_t> seams;    // middle of each gap
};

// Eleven songs of 8-14 s: two tones, noise and a swell, each with one soft
// passage; gaps of 80-400 ms holding a little hiss below the threshold.
Program Make(std::mt19937& random) {
  Program p;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> hiss(0.0, 60.0);
  for (int song = 0; song <= kBoundaries; ++song) {
    const double a = 180 + 400 * unit(random);
    const double b = 900 + 2000 * unit(random);
    const auto frames = static_cast<uint64_t>((8 + 6 * unit(random)) * kRate);
    const auto soft = static_cast<uint64_t>((2 + 4 * unit(random)) * kRate);
    for (uint64_t i = 0; i < frames; ++i) {
      const double t = static_cast<double>(i) / kRate;
      double level = 0.55 + 0.45 * std::sin(2 * M_PI * 0.2 * t + song);
      if (i >= soft && i < soft + kRate / 2) level *= 0.15;  // a quiet bar, still above the threshold
      const double v = level * (7000 * std::sin(2 * M_PI * a * t) + 3500 * std::sin(2 * M_PI * b * t)) +
                       1200 * (unit(random) - 0.5);
      p.pcm.push_back(static_cast<int16_t>(v));
      p.pcm.push_back(static_cast<int16_t>(0.8 * v));
      p.owner.push_back(static_cast<int8_t>(song));
    }
    if (song == kBoundaries) break;
    const auto gap = static_cast<uint64_t>((0.08 + 0.32 * unit(random)) * kRate);
    p.seams.push_back(p.owner.size() + gap / 2);
    for (uint64_t i = 0; i < gap; ++i) {
      const auto v = static_cast<int16_t>(hiss(random));
      p.pcm.push_back(v);
      p.pcm.push_back(v);
      p.owner.push_back(-1);
    }
  }
  return p;
}

// Plays the engine's part around the line and returns the split positions.
class Split : public PcmSink {
 public:
  void WritePcm(const int16_t*, size_t) override {}

  // Seconds of audio captured between each title and its split's decision.
  std::vector<double> waits;

  std::vector<uint64_t> Run(const Program& p, int delayMs, const std::vector<uint64_t>& arrivals) {
    line_.Configure(Stereo(), delayMs);
    line_.MarkSongStart();
    std::vector<uint64_t> splits;
    uint64_t at = 0;
    size_t next = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(p.pcm.data());
    const auto resolve = [&](uint64_t limit) {
      const uint64_t split = line_.DecideSplit(limit);
      line_.DrainTo(split, *this);
      splits.push_back(split);
      waits.push_back(static_cast<double>(line_.written() - line_.arrival()) / kRate);
      line_.MarkSongStart();
    };
    while (at < p.owner.size()) {
      uint64_t n = std::min<uint64_t>(kBuffer, p.owner.size() - at);
      if (next < arrivals.size() && arrivals[next] > at) n = std::min(n, arrivals[next] - at);
      while (next < arrivals.size() && arrivals[next] <= at) {
        ++next;
        if (!line_.active()) {
          splits.push_back(at);  // where the title arrives
          continue;
        }
        if (line_.splitPending()) resolve(line_.LimitForNextChange());
        line_.RequestSplit();
      }
      if (line_.Process(bytes + at * 4, n, *this)) resolve(UINT64_MAX);
      at += n;
    }
    if (line_.splitPending()) resolve(UINT64_MAX);
    return splits;
  }

 private:
  SplitDelayLine line_;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void ForeignAudio() {
  std::printf("(a) foreign audio at a split, ms: head (previous song) / tail (next song), median and max over %d\n",
              kBoundaries);
  for (const double lag : {-2.8, -0.7, 0.4, 0.8}) {
    for (const int delayMs : {0, 3000}) {
      std::mt19937 random(11);
      const Program p = Make(random);
      std::normal_distribution<double> jitter(0.0, 0.03);
      std::vector<uint64_t> arrivals;
      for (uint64_t seam : p.seams) {
        arrivals.push_back(static_cast<uint64_t>(static_cast<int64_t>(seam) + std::llround((lag + jitter(random)) * kRate)));
      }
      Split split;
      const std::vector<uint64_t> splits = split.Run(p, delayMs, arrivals);
      std::vector<double> heads, tails;
      for (size_t k = 0; k < splits.size(); ++k) {
        // Boundary k: the file of song k ends at splits[k], song k+1's begins there.
        const uint64_t start = k == 0 ? 0 : splits[k - 1];
        const uint64_t end = k + 1 < splits.size() ? splits[k + 1] : p.owner.size();
        uint64_t tail = 0, head = 0;
        for (uint64_t f = start; f < splits[k]; ++f) tail += p.owner[f] > static_cast<int>(k);
        for (uint64_t f = splits[k]; f < end; ++f) head += p.owner[f] >= 0 && p.owner[f] <= static_cast<int>(k);
        tails.push_back(tail * 1000.0 / kRate);
        heads.push_back(head * 1000.0 / kRate);
      }
      std::printf("    lag %+.1f s, SplitSearch %4d: head median %6.1f max %6.1f, tail median %6.1f max %6.1f",
                  lag, delayMs, Median(heads), *std::max_element(heads.begin(), heads.end()), Median(tails),
                  *std::max_element(tails.begin(), tails.end()));
      if (!split.waits.empty()) std::printf(", decided %.1f s after the title (median)", Median(split.waits));
      std::printf("\n");
    }
  }
}

// The plain path hands each buffer on to the encoder, which copies it into
// its chunk buffer first; this sink does that copy and nothing else.
struct Touch : PcmSink {
  std::vector<int16_t> chunk = std::vector<int16_t>(kBuffer * 2);
  uint64_t sum = 0;
  void WritePcm(const int16_t* values, size_t frames) override {
    std::copy_n(values, std::min(frames * 2, chunk.size()), chunk.begin());
    sum += static_cast<uint16_t>(chunk[frames % chunk.size()]);
  }
};

void DelayCost() {
  std::mt19937 random(5);
  const Program p = Make(random);
  const auto* bytes = reinterpret_cast<const uint8_t*>(p.pcm.data());
  const size_t buffers = p.owner.size() / kBuffer;
  auto best = [&](auto&& pass) {
    double seconds = 1e9;
    for (int run = 0; run < 5; ++run) {
      const double start = CpuSeconds();
      pass();
      seconds = std::min(seconds, CpuSeconds() - start);
    }
    return seconds;
  };
  Touch plainSink, delayedSink;
  const double plain = best([&] {
    for (size_t b = 0; b < buffers; ++b)
      plainSink.WritePcm(reinterpret_cast<const int16_t*>(bytes + b * kBuffer * 4), kBuffer);
  });
  const double audioSeconds = static_cast<double>(buffers * kBuffer) / kRate;
  // The ring in memory, and in its journal file (in a state folder of the
  // bench's own, never the user's).
  char folder[] = "/tmp/split-bench-XXXXXX";
  if (!::mkdtemp(folder)) return;
  ::setenv("XDG_STATE_HOME", folder, 1);
  for (const bool journaled : {false, true}) {
    SplitDelayLine line;
    line.Configure(Stereo(), 3000, journaled);
    const double delayed = best([&] {
      for (size_t b = 0; b < buffers; ++b) line.Process(bytes + b * kBuffer * 4, kBuffer, delayedSink);
    });
    std::printf("(b) delay line CPU, %-9s / plain path (copy) %.2f  (%.0f ns vs %.0f ns per %zu-frame buffer; %.4f%% of real time)\n",
                line.journaled() ? "journaled" : "in memory", delayed / plain, delayed / buffers * 1e9,
                plain / buffers * 1e9, kBuffer, delayed / audioSeconds * 100);
  }
  std::filesystem::remove_all(folder);
  std::printf("    resident ring for 3000 ms at 44.1 kHz stereo: %.0f KiB\n",
              (2 * 3000 + 2500 + 60) / 1000.0 * kRate * 4 / 1024);
  volatile uint64_t keep = plainSink.sum + delayedSink.sum;
  (void)keep;
}

}  // namespace

int main() {
  ForeignAudio();
  DelayCost();
  return 0;
}
