// The delay line and boundary search on synthetic songs: tones of different
// pitch, with or without gaps, whose title changes arrive at a given lag. A
// harness plays the engine's part: it feeds capture-sized buffers, decides a
// split when the line says it is ready (or when the next change comes first)
// and collects what each song's file would receive.
#include "recorder/engine/split_search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using orvweb::LagEstimator;
using orvweb::PcmSink;
using orvweb::SplitDelayLine;

constexpr uint32_t kRate = 44100;
constexpr uint64_t kTenMs = kRate / 100;

uint64_t Frames(double seconds) { return static_cast<uint64_t>(std::llround(seconds * kRate)); }

platform::audio::WaveFormat Pcm16(uint16_t channels = 2, uint32_t rate = kRate) {
  return {1, channels, rate, rate * channels * 2u, static_cast<uint16_t>(channels * 2), 16, 0};
}

struct SongSpec {
  double seconds;
  double gapAfter = 0.2;       // silence before the next song
  double pauseAt = -1;         // a 60 ms drop-out this far into the song
};

// Stereo PCM and, per frame, the song it belongs to (-1: silence).
struct Program {
  std::vector<int16_t> pcm;
  std::vector<int> owner;
  std::vector<uint64_t> boundaries;  // middle of each gap, or the seam

  uint64_t frames() const { return owner.size(); }
};

Program Make(const std::vector<SongSpec>& songs) {
  Program p;
  for (size_t s = 0; s < songs.size(); ++s) {
    const double hz = 300.0 + 170.0 * static_cast<double>(s);
    const uint64_t n = Frames(songs[s].seconds);
    const uint64_t pauseFrom = songs[s].pauseAt < 0 ? n : Frames(songs[s].pauseAt);
    const uint64_t pauseTo = pauseFrom + Frames(0.06);
    for (uint64_t i = 0; i < n; ++i) {
      const bool paused = i >= pauseFrom && i < pauseTo;
      const auto v = paused ? int16_t{0} : static_cast<int16_t>(9000 * std::sin(2 * M_PI * hz * i / kRate));
      p.pcm.push_back(v);
      p.pcm.push_back(v);
      p.owner.push_back(paused ? -1 : static_cast<int>(s));
    }
    if (s + 1 == songs.size()) break;
    const uint64_t gap = Frames(songs[s].gapAfter);
    p.boundaries.push_back(p.frames() + gap / 2);
    p.pcm.insert(p.pcm.end(), gap * 2, 0);
    p.owner.insert(p.owner.end(), gap, -1);
  }
  return p;
}

class Harness : public PcmSink {
 public:
  explicit Harness(int delayMs = 3000, uint64_t buffer = 441) : buffer_(buffer) {
    line.Configure(Pcm16(), delayMs);
    line.MarkSongStart();
  }

  void WritePcm(const int16_t* values, size_t frames) override {
    pieces.back().insert(pieces.back().end(), values, values + frames * 2);
  }

  // Plays the program; a title change arrives at each of `arrivals`.
  // With `slowWindow` the window thread never answers the ready signal.
  void Play(const Program& p, std::vector<uint64_t> arrivals, bool slowWindow = false) {
    uint64_t at = 0;
    size_t next = 0;
    while (at < p.frames()) {
      uint64_t n = std::min(buffer_, p.frames() - at);
      if (next < arrivals.size() && arrivals[next] > at) n = std::min(n, arrivals[next] - at);
      while (next < arrivals.size() && arrivals[next] <= at) Change(next++);
      if (line.Process(reinterpret_cast<const uint8_t*>(p.pcm.data() + at * 2), n, *this) && !slowWindow) Resolve(UINT64_MAX);
      at += n;
    }
    while (next < arrivals.size()) Change(next++);
    if (line.splitPending()) Resolve(UINT64_MAX);
    line.DrainAll(*this);
  }

  // Frames of songs other than piece i's own inside piece i.
  uint64_t Foreign(const Program& p, size_t i) const {
    const uint64_t from = i == 0 ? 0 : splits[i - 1];
    const uint64_t to = i < splits.size() ? splits[i] : p.frames();
    uint64_t foreign = 0;
    for (uint64_t f = from; f < to; ++f) foreign += p.owner[f] != -1 && p.owner[f] != static_cast<int>(i);
    return foreign;
  }

  std::vector<int16_t> Joined() const {
    std::vector<int16_t> all;
    for (const auto& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
    return all;
  }

  SplitDelayLine line;
  std::vector<std::vector<int16_t>> pieces{1};
  std::vector<uint64_t> splits;

 private:
  void Change(size_t) {
    if (line.splitPending()) Resolve(line.LimitForNextChange());
    line.RequestSplit();
  }

  void Resolve(uint64_t limit) {
    const uint64_t split = line.DecideSplit(limit);
    line.DrainTo(split, *this);
    splits.push_back(split);
    pieces.emplace_back();
    line.MarkSongStart();
  }

  uint64_t buffer_;
};

std::vector<uint64_t> ArrivalsAt(const Program& p, double lag, size_t count = SIZE_MAX) {
  std::vector<uint64_t> arrivals;
  for (size_t i = 0; i < p.boundaries.size() && i < count; ++i) {
    arrivals.push_back(static_cast<uint64_t>(static_cast<int64_t>(p.boundaries[i]) + std::llround(lag * kRate)));
  }
  return arrivals;
}

uint64_t Distance(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

TEST(SplitSearch, FindsTheGapAtEveryLagAndLearnsIt) {
  struct Case {
    double lag;
    bool pauses;  // each song has a short drop-out two seconds in
  };
  // Negative: the title comes before the boundary is heard (VLC, browsers),
  // as early as the whole window.
  for (const Case c : {Case{-3.0, false}, Case{-2.8, false}, Case{-1.6, false}, Case{-0.7, false}, Case{-0.3, false},
                       Case{0.0, false}, Case{0.4, false}, Case{0.8, false}, Case{2.5, false}, Case{0.4, true},
                       Case{0.8, true}, Case{-1.6, true}}) {
    SCOPED_TRACE(testing::Message() << "lag " << c.lag << (c.pauses ? " with drop-outs" : ""));
    std::vector<SongSpec> songs(5, SongSpec{6.0, 0.2, c.pauses ? 2.0 : -1});
    const Program p = Make(songs);
    Harness h;
    h.Play(p, ArrivalsAt(p, c.lag));

    ASSERT_EQ(h.splits.size(), p.boundaries.size());
    for (size_t i = 0; i < h.splits.size(); ++i) EXPECT_LE(Distance(h.splits[i], p.boundaries[i]), kTenMs) << i;
    for (size_t i = 0; i < h.pieces.size(); ++i) EXPECT_EQ(h.Foreign(p, i), 0u) << i;
    EXPECT_EQ(h.Joined(), p.pcm) << "every frame once, in order";
    EXPECT_LE(Distance(static_cast<uint64_t>(h.line.expectedLag() + 10 * kRate), Frames(c.lag + 10)), kTenMs);
  }
}

TEST(SplitSearch, ALagOfTheOtherSignIsFollowedWithinFourSongs) {
  // mpv's late titles, then a player that announces them 1.6 s early (or
  // the other way round): the songs right after the change are split where
  // the old lag says, the fifth on at their own gaps again.
  for (const auto& [before, after] : {std::pair{0.4, -1.6}, std::pair{-1.6, 0.4}}) {
    SCOPED_TRACE(testing::Message() << before << " then " << after);
    const Program p = Make(std::vector<SongSpec>(12, SongSpec{6.0}));
    std::vector<uint64_t> arrivals = ArrivalsAt(p, before, 5);
    const std::vector<uint64_t> later = ArrivalsAt(p, after);
    arrivals.insert(arrivals.end(), later.begin() + 5, later.end());
    Harness h;
    h.Play(p, arrivals);
    ASSERT_EQ(h.splits.size(), p.boundaries.size());
    for (size_t i = 0; i < h.splits.size(); ++i) {
      if (i < 5 || i >= 9) {
        EXPECT_LE(Distance(h.splits[i], p.boundaries[i]), kTenMs) << i;
      }
    }
    EXPECT_EQ(h.Joined(), p.pcm);
  }
}

TEST(SplitSearch, GaplessSongsSplitAtTheLearnedLag) {
  for (const double lag : {0.4, 0.8}) {
    SCOPED_TRACE(lag);
    // Three boundaries with gaps teach the lag; two run into each other.
    const Program p = Make({{6.0}, {6.0}, {6.0}, {6.0, 0.0}, {6.0, 0.0}, {6.0}});
    Harness h;
    h.Play(p, ArrivalsAt(p, lag));
    ASSERT_EQ(h.splits.size(), 5u);
    EXPECT_FALSE(h.line.lastSplitInQuiet());
    for (size_t i = 0; i < h.splits.size(); ++i) EXPECT_LE(Distance(h.splits[i], p.boundaries[i]), kTenMs) << i;
    for (size_t i = 0; i < h.pieces.size(); ++i) EXPECT_LE(h.Foreign(p, i), kTenMs) << i;
    EXPECT_EQ(h.Joined(), p.pcm);
  }
}

TEST(SplitSearch, TwoChangesInsideOneWindowEachLandInTheirOwnSong) {
  struct Case {
    double shortSong;  // seconds of the song in the middle
    double lag;
  };
  // 0.3 s: the second change arrives before the first split is decided.
  for (const Case c : {Case{0.3, 0.4}, Case{1.0, 0.4}, Case{2.0, 0.8}}) {
    SCOPED_TRACE(c.shortSong);
    const Program p = Make({{6.0}, {6.0}, {6.0}, {c.shortSong}, {6.0}});
    Harness h;
    h.Play(p, ArrivalsAt(p, c.lag));
    ASSERT_EQ(h.splits.size(), 4u);
    for (size_t i = 0; i < h.splits.size(); ++i) EXPECT_LE(Distance(h.splits[i], p.boundaries[i]), kTenMs) << i;
    for (size_t i = 0; i < h.pieces.size(); ++i) EXPECT_EQ(h.Foreign(p, i), 0u) << i;
    // The short song keeps all of its audio.
    EXPECT_GE(h.pieces[3].size() / 2, Frames(c.shortSong));
    EXPECT_EQ(h.Joined(), p.pcm);
  }
}

TEST(SplitSearch, NoPieceIsEverEmptyOrLost) {
  struct Case {
    const char* what;
    std::vector<uint64_t> arrivals;
    uint64_t buffer;
  };
  const Program p = Make({{4.0, 0.0}, {4.0, 0.0}});
  const uint64_t mid = Frames(2.0);
  for (const Case& c : {Case{"three at once", {mid, mid, mid}, 441},
                        Case{"5 ms apart", {mid, mid + 220, mid + 440, mid + 660}, 441},
                        Case{"at the first frame", {0, 1}, 441},
                        Case{"one frame apart, huge buffers", {mid, mid + 1, mid + 2}, 22050},
                        Case{"after the end", {p.frames() + 10, p.frames() + 20}, 441}}) {
    SCOPED_TRACE(c.what);
    Harness h(3000, c.buffer);
    h.Play(p, c.arrivals);
    ASSERT_EQ(h.pieces.size(), c.arrivals.size() + 1);
    for (size_t i = 0; i + 1 < h.splits.size(); ++i) EXPECT_LE(h.splits[i], h.splits[i + 1]);
    // Every song that had audio captured after it started gets some of it.
    for (size_t i = 0; i < h.splits.size(); ++i) {
      const uint64_t start = i == 0 ? 0 : h.splits[i - 1];
      if (start < p.frames()) {
        EXPECT_GT(h.splits[i], start) << i;
      }
    }
    EXPECT_EQ(h.Joined(), p.pcm);
  }
}

TEST(SplitSearch, ASlowWindowThreadLosesNothing) {
  // The ready signal goes unanswered: the line keeps what it can and lets
  // the oldest audio out to the old song; the split still lands in range.
  // The second song outlasts the ring (both ways of the window and more).
  const Program p = Make({{6.0}, {12.0}});
  Harness h;
  h.Play(p, ArrivalsAt(p, 0.4), /*slowWindow=*/true);
  ASSERT_EQ(h.splits.size(), 1u);
  EXPECT_GE(h.splits[0], p.boundaries[0]);
  EXPECT_EQ(h.Joined(), p.pcm);
}

TEST(SplitSearch, OffForZeroDelayAndForOtherFormats) {
  struct Case {
    const char* what;
    platform::audio::WaveFormat format;
    int delayMs;
    bool active;
  };
  auto floatFormat = Pcm16();
  floatFormat.formatTag = 3;
  floatFormat.bitsPerSample = 32;
  auto eightBit = Pcm16();
  eightBit.bitsPerSample = 8;
  for (const Case& c : {Case{"0 ms", Pcm16(), 0, false}, Case{"negative", Pcm16(), -5, false},
                        Case{"float", floatFormat, 3000, false}, Case{"8-bit", eightBit, 3000, false},
                        Case{"mono 48 kHz", Pcm16(1, 48000), 3000, true},
                        Case{"beyond the maximum", Pcm16(), 1000000, true}}) {
    SCOPED_TRACE(c.what);
    SplitDelayLine line;
    line.Configure(c.format, c.delayMs);
    EXPECT_EQ(line.active(), c.active);
    if (c.active) {
      EXPECT_LE(line.delayFrames(), uint64_t{c.format.samplesPerSec} * 10);
    }
  }
  // Off, every buffer goes straight through as it came.
  struct Direct : PcmSink {
    std::vector<const int16_t*> seen;
    void WritePcm(const int16_t* values, size_t) override { seen.push_back(values); }
  } direct;
  SplitDelayLine off;
  off.Configure(Pcm16(), 0);
  const std::vector<int16_t> buffer(882, 7);
  EXPECT_FALSE(off.Process(reinterpret_cast<const uint8_t*>(buffer.data()), 441, direct));
  EXPECT_EQ(direct.seen, std::vector<const int16_t*>{buffer.data()});
}

TEST(SplitSearch, ReplayHandsTheFramesBeforeASplitButNothingFromBeforeAGap) {
  struct Collect : PcmSink {
    std::vector<int16_t> values;
    void WritePcm(const int16_t* v, size_t frames) override { values.insert(values.end(), v, v + frames * 2); }
  };
  const Program p = Make({{6.0}, {1.0}});
  Harness h;
  h.Play(p, ArrivalsAt(p, 0.4));
  ASSERT_EQ(h.splits.size(), 1u);
  const uint64_t split = h.splits[0];
  Collect priming;
  EXPECT_EQ(h.line.Replay(split, 2048, priming), 2048u);
  EXPECT_EQ(priming.values, std::vector<int16_t>(p.pcm.begin() + static_cast<std::ptrdiff_t>(2 * (split - 2048)),
                                                 p.pcm.begin() + static_cast<std::ptrdiff_t>(2 * split)));
  // After a gap in the capture the audio before it is not this song's.
  h.line.Discard();
  Collect none;
  EXPECT_EQ(h.line.Replay(h.line.written(), 2048, none), 0u);
  EXPECT_TRUE(none.values.empty());
}

TEST(LagEstimate, MedianOfRecentLagsWithinBounds) {
  struct Case {
    std::vector<int64_t> lags;
    int64_t expected;
  };
  for (const Case& c : {Case{{}, 0}, Case{{400}, 400}, Case{{400, 410, 2500}, 410}, Case{{400, 2500}, 400},
                        Case{{-900, -900, -900}, -500}, Case{{9000}, 3000},
                        // Only the last seven count.
                        Case{{50, 50, 50, 50, 400, 400, 400, 400, 400, 400, 400}, 400}}) {
    LagEstimator lag;
    lag.SetBounds(-500, 3000);
    for (int64_t l : c.lags) lag.Add(l);
    EXPECT_EQ(lag.Expected(), c.expected) << testing::PrintToString(c.lags);
  }
}

}  // namespace
