#pragma once
// Where the audio of decoded song files lay in the signal that was played,
// so the seam between two consecutive files shows the audio lost or doubled
// there. Lossy coding changes every sample value, so the played signal is
// noise whose loudness steps pseudo-randomly every 10 ms: the sequence of
// block loudnesses, which survives coding, finds the position to a block,
// and the noise itself, by cross-correlation, to the sample.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"

namespace bench {

inline constexpr int kSeamRate = 44100;
inline constexpr size_t kSeamBlock = 441;  // 10 ms
// The noise never gets near the recorder's silence threshold (a peak of 656
// over 40 ms), so no split lands in a "quiet stretch" it does not have.
inline constexpr double kSeamLoudest = 12000.0;
inline constexpr double kSeamQuietest = 0.35 * kSeamLoudest;
// A decoded sample counts as heard above this; where such samples start and
// stop is only a first guess at where a file's audio begins and ends.
inline constexpr double kHeardLevel = 1000.0;

// `frames` mono values of the signal.
inline std::vector<int16_t> SeamSignal(size_t frames, uint32_t seed = 11) {
  std::vector<int16_t> out(frames);
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> level(kSeamQuietest, kSeamLoudest);
  std::uniform_real_distribution<double> noise(-1.0, 1.0);
  double gain = level(random);
  for (size_t i = 0; i < frames; ++i) {
    if (i % kSeamBlock == 0) gain = level(random);
    out[i] = static_cast<int16_t>(std::lround(gain * noise(random)));
  }
  return out;
}

// The mono values as a 16-bit stereo WAV file at kSeamRate, both sides alike.
inline bool WriteStereoWav(const std::string& file, const std::vector<int16_t>& mono) {
  std::vector<int16_t> stereo;
  stereo.reserve(mono.size() * 2);
  for (const int16_t v : mono) stereo.insert(stereo.end(), {v, v});
  return WriteStereoWav16(file, stereo, kSeamRate);
}

// Decodes any file ffmpeg reads to 44.1 kHz stereo and returns the mean of
// the two channels; nullopt when ffmpeg fails. `scratch` is overwritten.
inline std::optional<std::vector<float>> DecodeMono(const std::string& file, const std::string& scratch) {
  if (RunCommand(ShellWords({"ffmpeg", "-v", "error", "-y", "-i", file, "-f", "s16le", "-ac", "2", "-ar", "44100",
                             scratch}) + "</dev/null") != 0) {
    return std::nullopt;
  }
  std::ifstream in(scratch, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<float> mono(bytes.size() / 4);
  for (size_t i = 0; i < mono.size(); ++i) {
    int16_t l = 0, r = 0;
    std::memcpy(&l, bytes.data() + 4 * i, 2);
    std::memcpy(&r, bytes.data() + 4 * i + 2, 2);
    mono[i] = (static_cast<float>(l) + static_cast<float>(r)) / 2;
  }
  return mono;
}

// The first and one past the last heard sample: a run of kHeardLevel or more
// that the next 32 samples confirm (a lone click does not count). {0, 0}
// when nothing is heard.
struct HeardRange {
  size_t begin = 0;
  size_t end = 0;
};

inline HeardRange FindHeard(const std::vector<float>& x) {
  constexpr size_t kConfirm = 32;
  auto loudAround = [&](size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += static_cast<double>(x[i]) * x[i];
    return to > from && std::sqrt(sum / static_cast<double>(to - from)) >= kHeardLevel;
  };
  HeardRange r;
  size_t i = 0;
  for (; i + kConfirm <= x.size(); ++i) {
    if (std::fabs(x[i]) >= kHeardLevel && loudAround(i, i + kConfirm)) break;
  }
  if (i + kConfirm > x.size()) return r;
  r.begin = i;
  size_t j = x.size();
  for (; j >= r.begin + kConfirm; --j) {
    if (std::fabs(x[j - 1]) >= kHeardLevel && loudAround(j - kConfirm, j)) break;
  }
  r.end = j;
  return r;
}

// Played position of decoded sample 0, found from the window of `x` that
// starts at `from`; nullopt when the window does not lie in the signal
// unambiguously (too short, or the best match is weak).
inline std::optional<int64_t> AlignWindow(const std::vector<float>& x, size_t from, const std::vector<int16_t>& played) {
  constexpr size_t kBlocks = 50;   // 0.5 s of loudness steps
  constexpr size_t kFine = 4096;   // samples correlated for the exact lag
  if (from + kBlocks * kSeamBlock > x.size() || played.size() < (kBlocks + 4) * kSeamBlock) return std::nullopt;

  auto rms = [](auto first, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += static_cast<double>(first[i]) * first[i];
    return std::sqrt(sum / static_cast<double>(n));
  };
  std::vector<double> mine(kBlocks);
  for (size_t j = 0; j < kBlocks; ++j) mine[j] = rms(x.begin() + static_cast<std::ptrdiff_t>(from + j * kSeamBlock), kSeamBlock);
  const size_t playedBlocks = played.size() / kSeamBlock;
  std::vector<double> theirs(playedBlocks);
  for (size_t b = 0; b < playedBlocks; ++b) theirs[b] = rms(played.begin() + static_cast<std::ptrdiff_t>(b * kSeamBlock), kSeamBlock);

  auto pearson = [&](size_t b) {
    double ma = 0, mb = 0;
    for (size_t j = 0; j < kBlocks; ++j) ma += mine[j], mb += theirs[b + j];
    ma /= kBlocks, mb /= kBlocks;
    double ab = 0, aa = 0, bb = 0;
    for (size_t j = 0; j < kBlocks; ++j) {
      const double a = mine[j] - ma, c = theirs[b + j] - mb;
      ab += a * c, aa += a * a, bb += c * c;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
  };
  size_t best = 0;
  double bestScore = -2;
  for (size_t b = 0; b + kBlocks <= playedBlocks; ++b) {
    if (const double s = pearson(b); s > bestScore) bestScore = s, best = b;
  }
  if (bestScore < 0.6) return std::nullopt;

  // The window's first sample lies within two blocks of the best block.
  const size_t n = std::min(kFine, x.size() - from);
  const int64_t lo = std::max<int64_t>(0, static_cast<int64_t>(best * kSeamBlock) - 2 * static_cast<int64_t>(kSeamBlock));
  const int64_t hi = std::min<int64_t>(static_cast<int64_t>(played.size() - n),
                                       static_cast<int64_t>(best * kSeamBlock) + 2 * static_cast<int64_t>(kSeamBlock));
  double xx = 0;
  for (size_t i = 0; i < n; ++i) xx += static_cast<double>(x[from + i]) * x[from + i];
  int64_t bestLag = -1;
  double bestCorr = 0;
  for (int64_t p = lo; p <= hi; ++p) {
    double xy = 0, yy = 0;
    for (size_t i = 0; i < n; ++i) {
      const double y = played[static_cast<size_t>(p) + i];
      xy += x[from + i] * y, yy += y * y;
    }
    const double corr = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0;
    if (corr > bestCorr) bestCorr = corr, bestLag = p;
  }
  if (bestLag < 0 || bestCorr < 0.5) return std::nullopt;
  return bestLag - static_cast<int64_t>(from);
}

// One decoded file in the played timeline: its audio covers [begin, end) of
// the signal; padding counts the decoded samples before and after it that
// are not the signal (silence, or the codec's smear past a cut).
struct Placed {
  bool ok = false;
  int64_t begin = 0;
  int64_t end = 0;
  size_t leadPadding = 0;
  size_t tailPadding = 0;
  // Samples the timeline jumps between the file's first and last window
  // (0 unless the sound server dropped or added audio inside the file).
  int64_t drift = 0;
};

// Where the signal starts (or, with `fromEnd`, stops) in x near the loudness
// edge `edge`, x[i] being played[i + offset]: the cut that best explains x
// as the signal on one side and anything uncorrelated on the other: the
// maximum of the running sum of xy - y^2/10. Loudness alone is not enough,
// as a codec smears the noise of a hard cut over a few hundred samples; and
// the signal's last few hundred samples before a cut come out of a codec
// weaker and only loosely correlated, yet they are heard and belong to the
// file, hence the small share of y^2.
inline size_t RefineEdge(const std::vector<float>& x, const std::vector<int16_t>& played, int64_t offset, size_t edge,
                         bool fromEnd) {
  constexpr size_t kReach = 2048;
  const size_t lo = edge > kReach ? edge - kReach : 0;
  const size_t hi = std::min(x.size(), edge + kReach);
  auto term = [&](size_t i) {
    const int64_t at = static_cast<int64_t>(i) + offset;
    const double y = at >= 0 && at < static_cast<int64_t>(played.size()) ? played[static_cast<size_t>(at)] : 0.0;
    return x[i] * y - 0.1 * y * y;
  };
  size_t best = fromEnd ? lo : hi;
  double sum = 0, bestSum = 0;
  if (fromEnd) {
    for (size_t i = lo; i < hi; ++i) {
      sum += term(i);
      if (sum > bestSum) bestSum = sum, best = i + 1;
    }
  } else {
    for (size_t i = hi; i-- > lo;) {
      sum += term(i);
      if (sum > bestSum) bestSum = sum, best = i;
    }
  }
  return best;
}

inline Placed PlaceFile(const std::vector<float>& x, const std::vector<int16_t>& played) {
  Placed p;
  const HeardRange heard = FindHeard(x);
  constexpr size_t kInset = 2205;  // clear of the codec's edges
  constexpr size_t kSpan = 50 * kSeamBlock + kInset;
  if (heard.end < heard.begin + 2 * kSpan) return p;
  const auto first = AlignWindow(x, heard.begin + kInset, played);
  const auto last = AlignWindow(x, heard.end - kSpan, played);
  if (!first || !last) return p;
  const size_t begin = RefineEdge(x, played, *first, heard.begin, false);
  const size_t end = RefineEdge(x, played, *last, heard.end, true);
  if (end <= begin) return p;
  p.ok = true;
  p.begin = *first + static_cast<int64_t>(begin);
  p.end = *last + static_cast<int64_t>(end);
  p.leadPadding = begin;
  p.tailPadding = x.size() - end;
  p.drift = *last - *first;
  return p;
}

// Samples lost (> 0) or doubled (< 0) where file a ends and file b begins.
inline int64_t SeamGap(const Placed& a, const Placed& b) { return b.begin - a.end; }

// The median and the largest (by size) of the gaps in ms, + lost and
// - doubled, and the silence or padding the files add around the seam.
inline void ReportSeams(const char* what, std::vector<double> gapsMs, std::vector<double> paddingMs) {
  if (gapsMs.empty()) {
    std::printf("%-40s n/a\n", what);
    return;
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  };
  const double largest =
      *std::max_element(gapsMs.begin(), gapsMs.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
  std::printf("%-40s lost(+)/doubled(-) median %+.3f ms, max %+.3f ms (%zu splits); silence at the seam median %.3f ms, max %.3f\n",
              what, median(gapsMs), largest, gapsMs.size(), median(paddingMs),
              *std::max_element(paddingMs.begin(), paddingMs.end()));
}

}  // namespace bench
