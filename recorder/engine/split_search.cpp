#include "recorder/engine/split_search.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace orvweb {

// ---- the lag ----

void LagEstimator::SetBounds(int64_t lowest, int64_t highest) {
  lowest_ = std::min(lowest, highest);
  highest_ = std::max(lowest, highest);
}

void LagEstimator::Add(int64_t lag) {
  lags_[next_] = lag;
  next_ = (next_ + 1) % kHistory;
  count_ = std::min(count_ + 1, kHistory);
}

int64_t LagEstimator::Expected() const {
  if (count_ == 0) return 0;
  std::array<int64_t, kHistory> sorted{};
  for (size_t i = 0; i < count_; ++i) {
    size_t j = i;
    for (; j > 0 && sorted[j - 1] > lags_[i]; --j) sorted[j] = sorted[j - 1];
    sorted[j] = lags_[i];
  }
  // An even count takes the lower middle: the estimate is always a lag that
  // was seen, never an average of two boundaries.
  const int64_t median = sorted[(count_ - 1) / 2];
  return std::clamp(median, lowest_, highest_);
}

// ---- the delay line ----

void SplitDelayLine::Configure(const platform::audio::WaveFormat& format, int delayMs, bool journaled) {
  const bool pcm16 = format.formatTag == 1 && format.bitsPerSample == 16 && format.channels > 0 &&
                     format.samplesPerSec > 0 && format.blockAlign == format.channels * 2;
  if (rate_ != format.samplesPerSec) lag_.Clear();  // lags are counted in frames
  rate_ = format.samplesPerSec;
  channels_ = format.channels;
  written_.store(0, std::memory_order_relaxed);
  read_.store(0, std::memory_order_relaxed);
  songStart_ = levelsFrom_ = contiguousFrom_ = 0;
  blockPeak_ = 0;
  state_.store(kIdle, std::memory_order_relaxed);
  if (delayMs <= 0 || !pcm16) {
    delayFrames_ = 0;
    memory_ = {};
    journal_.reset();
    ring_ = nullptr;
    peaks_ = {};
    return;
  }
  delayMs = std::min(delayMs, kMaxSplitSearchMs);
  const auto frames = [this](int ms) { return static_cast<uint64_t>(rate_) * static_cast<uint64_t>(ms) / 1000; };
  delayFrames_ = std::max<uint64_t>(1, frames(delayMs));
  forwardFrames_ = std::max<uint64_t>(1, frames(std::min(delayMs, kMaxForwardMs)));
  // The window behind the arrival and ahead of it, a forward span past a
  // boundary expected at its far end, half a span more for a quiet stretch
  // still going on, and a span to spare.
  capacity_ = 2 * delayFrames_ + 2 * forwardFrames_ + forwardFrames_ / 2;
  slots_ = capacity_ + frames(kHistoryMs);
  const bool reuse = journaled && journal_ && journal_->rate() == rate_ && journal_->channels() == channels_ &&
                     journal_->slots() == slots_;
  if (!reuse) journal_ = journaled ? SplitJournal::Create(rate_, channels_, slots_) : nullptr;
  if (journal_) {
    memory_ = {};
    ring_ = journal_->ring();
    journal_->StoreWritten(0);
    journal_->StoreRead(0);
    journal_->SetSong({}, 0);
  } else {
    memory_.assign(slots_ * channels_, 0);
    ring_ = memory_.data();
  }
  blockFrames_ = std::max<uint64_t>(1, frames(kBlockMs));
  minQuietFrames_ = std::max<uint64_t>(1, frames(kMinQuietMs));
  peaks_.assign(slots_ / blockFrames_ + 4, 0);
  lag_.SetBounds(-static_cast<int64_t>(delayFrames_), static_cast<int64_t>(delayFrames_));
}

void SplitDelayLine::Store(const uint8_t* data, size_t frames) {
  const uint64_t begin = written_.load(std::memory_order_relaxed);
  const size_t frameBytes = channels_ * sizeof(int16_t);
  // The PCM, in at most two pieces around the end of the ring; copied as
  // bytes, since a capture buffer need not be aligned for 16-bit reads.
  uint64_t position = begin;
  for (size_t left = frames; left > 0;) {
    const uint64_t slot = position % slots_;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, slots_ - slot));
    std::memcpy(ring_ + slot * channels_, data, n * frameBytes);
    data += n * frameBytes;
    position += n;
    left -= n;
  }
  // The levels, block by block, read back from the ring.
  position = begin;
  for (size_t left = frames; left > 0;) {
    const uint64_t slot = position % slots_;
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, blockFrames_ - position % blockFrames_));
    n = static_cast<size_t>(std::min<uint64_t>(n, slots_ - slot));
    const int16_t* values = ring_ + slot * channels_;
    uint32_t peak = blockPeak_;
    for (size_t i = 0; i < n * channels_; ++i) {
      const uint32_t magnitude = static_cast<uint32_t>(std::abs(static_cast<int32_t>(values[i])));
      peak = std::max(peak, magnitude);
    }
    position += n;
    left -= n;
    if (position % blockFrames_ == 0) {
      peaks_[(position / blockFrames_ - 1) % peaks_.size()] = static_cast<uint16_t>(std::min<uint32_t>(peak, 65535));
      peak = 0;
    }
    blockPeak_ = peak;
  }
  written_.store(position, std::memory_order_release);
  if (journal_) journal_->StoreWritten(position);
}

void SplitDelayLine::Pop(uint64_t end, PcmSink& sink) {
  uint64_t position = read_.load(std::memory_order_relaxed);
  end = std::min(end, written_.load(std::memory_order_relaxed));
  while (position < end) {
    const uint64_t slot = position % slots_;
    const size_t n = static_cast<size_t>(std::min(end - position, slots_ - slot));
    sink.WritePcm(ring_ + slot * channels_, n);
    position += n;
  }
  read_.store(std::max(position, read_.load(std::memory_order_relaxed)), std::memory_order_relaxed);
  if (journal_) journal_->StoreRead(read_.load(std::memory_order_relaxed));
}

bool SplitDelayLine::Process(const uint8_t* data, size_t frames, PcmSink& sink) {
  if (!active()) {
    // Off: straight through (the caller's buffer is aligned for the sink).
    sink.WritePcm(reinterpret_cast<const int16_t*>(data), frames);
    return false;
  }
  while (frames > 0) {
    const uint64_t held = written_.load(std::memory_order_relaxed) - read_.load(std::memory_order_relaxed);
    const uint64_t room = capacity_ - held;
    if (room == 0) {
      // Full while a split waits: the oldest frames belong to the song being
      // written whatever is decided, so they go out rather than being lost.
      Pop(read_.load(std::memory_order_relaxed) + std::min<uint64_t>(frames, capacity_), sink);
      continue;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(frames, room));
    Store(data, n);
    data += n * channels_ * sizeof(int16_t);
    frames -= n;
  }

  const uint64_t written = written_.load(std::memory_order_relaxed);
  const int state = state_.load(std::memory_order_acquire);
  if (state == kIdle) {
    if (written > delayFrames_) Pop(written - delayFrames_, sink);
    return false;
  }
  if (state != kPending || written < decideAt_.load(std::memory_order_relaxed)) return false;
  // A quiet stretch still going on at the end is waited out, up to the
  // deadline, so that its middle is known.
  const uint64_t last = written / blockFrames_;
  const bool endsQuiet = last > 0 && BlockKnown(last - 1) && BlockQuiet(last - 1);
  const uint64_t wholeAt = wholeAt_.load(std::memory_order_relaxed);
  if (written < wholeAt) {
    // Decided early only on a quiet stretch near the expected boundary;
    // else the whole window is waited for.
    if (endsQuiet && written < deadline_.load(std::memory_order_relaxed)) return false;
    const uint64_t lo = read_.load(std::memory_order_relaxed);
    if (!FindQuiet(lo, std::max(lo, songStart_ + minQuietFrames_), written, target_.load(std::memory_order_relaxed)).near) {
      return false;
    }
  } else if (endsQuiet && written < wholeAt + forwardFrames_ / 2) {
    return false;
  }
  int expected = kPending;
  return state_.compare_exchange_strong(expected, kReady, std::memory_order_acq_rel);
}

uint32_t SplitDelayLine::RequestSplit(uint64_t arrival) {
  arrival_ = std::min(arrival, written_.load(std::memory_order_acquire));
  const uint64_t target = static_cast<uint64_t>(std::max<int64_t>(0, expectedBoundary()));
  const uint64_t decideAt = std::max<uint64_t>(arrival_, target + forwardFrames_);
  target_.store(target, std::memory_order_relaxed);
  decideAt_.store(decideAt, std::memory_order_relaxed);
  deadline_.store(decideAt + forwardFrames_ / 2, std::memory_order_relaxed);
  wholeAt_.store(std::max(decideAt, arrival_ + delayFrames_ + forwardFrames_), std::memory_order_relaxed);
  const uint32_t number = request_.fetch_add(1, std::memory_order_relaxed) + 1;
  state_.store(kPending, std::memory_order_release);
  return number;
}

bool SplitDelayLine::BlockKnown(uint64_t block) const {
  const uint64_t complete = written_.load(std::memory_order_relaxed) / blockFrames_;
  return block * blockFrames_ >= levelsFrom_ && block < complete && complete - block < peaks_.size();
}

SplitDelayLine::Quiet SplitDelayLine::FindQuiet(uint64_t lo, uint64_t floor, uint64_t hi, uint64_t target) const {
  // Runs of quiet blocks; a run that reaches back past `lo` is followed
  // back through the levels still held, so its middle is its true middle.
  Quiet quiet;
  const uint64_t end = hi / blockFrames_;
  uint64_t block = lo / blockFrames_;
  while (block > 0 && BlockKnown(block - 1) && BlockQuiet(block - 1)) --block;
  uint64_t bestDistance = UINT64_MAX;
  while (block < end) {
    if (!BlockKnown(block) || !BlockQuiet(block)) {
      ++block;
      continue;
    }
    const uint64_t first = block;
    while (block < end && BlockKnown(block) && BlockQuiet(block)) ++block;
    const uint64_t from = first * blockFrames_;
    const uint64_t to = block * blockFrames_;
    if (to - from < minQuietFrames_) continue;
    const uint64_t middle = from + (to - from) / 2;
    if (middle < floor || middle > hi) continue;
    const uint64_t distance = middle > target ? middle - target : target - middle;
    if (distance < bestDistance) {
      bestDistance = distance;
      quiet.any = true;
      quiet.nearest = middle;
      if (distance <= forwardFrames_) {
        quiet.near = true;
        quiet.nearestNear = middle;
      }
    }
  }
  return quiet;
}

uint64_t SplitDelayLine::DecideSplit(uint64_t limit) {
  state_.store(kIdle, std::memory_order_relaxed);
  lastInQuiet_ = false;
  const uint64_t lo = read();
  // The song being finished keeps at least a quiet stretch's length, or all
  // that was captured of it when that is less.
  const uint64_t floor = std::max(lo, songStart_ + minQuietFrames_);
  const uint64_t hi = std::min(written(), std::max(limit, floor));
  if (floor >= hi) return hi;
  const uint64_t target = static_cast<uint64_t>(
      std::clamp<int64_t>(expectedBoundary(), static_cast<int64_t>(floor), static_cast<int64_t>(hi)));

  const Quiet quiet = FindQuiet(lo, floor, hi, target);
  const auto lagOf = [this](uint64_t split) { return static_cast<int64_t>(arrival_) - static_cast<int64_t>(split); };
  uint64_t split = target;
  if (quiet.near) {
    split = quiet.nearestNear;
  } else if (quiet.any && lag_.count() == 0) {
    split = quiet.nearest;  // nothing learned yet: the nearest either way
  } else {
    // A known lag and only a quiet stretch far from it: most likely a pause
    // inside a song, so the split stays where the lag puts it. Counted all
    // the same; if the player changed, such lags soon make the median.
    if (quiet.any) lag_.Add(lagOf(quiet.nearest));
    return target;
  }
  lastInQuiet_ = true;
  lag_.Add(lagOf(split));
  return split;
}

void SplitDelayLine::SetJournalSong(const std::string& utf8Path, int format) {
  if (journal_) journal_->SetSong(utf8Path, format);
}

uint64_t SplitDelayLine::LimitForNextChange() const {
  const int64_t limit = static_cast<int64_t>(written()) - lag_.Expected() - static_cast<int64_t>(minQuietFrames_);
  return static_cast<uint64_t>(std::max<int64_t>(0, limit));
}

void SplitDelayLine::DrainTo(uint64_t position, PcmSink& sink) {
  if (active()) Pop(position, sink);
}

size_t SplitDelayLine::Replay(uint64_t position, size_t frames, PcmSink& sink) const {
  if (!active()) return 0;
  const uint64_t written = written_.load(std::memory_order_relaxed);
  position = std::min(position, written);
  uint64_t from = position > frames ? position - frames : 0;
  from = std::max(from, contiguousFrom_);
  if (written > slots_) from = std::max(from, written - slots_);
  if (from >= position) return 0;
  for (uint64_t at = from; at < position;) {
    const uint64_t slot = at % slots_;
    const size_t n = static_cast<size_t>(std::min(position - at, slots_ - slot));
    sink.WritePcm(ring_ + slot * channels_, n);
    at += n;
  }
  return static_cast<size_t>(position - from);
}

void SplitDelayLine::Discard() {
  const uint64_t written = written_.load(std::memory_order_relaxed);
  read_.store(written, std::memory_order_relaxed);
  if (journal_) journal_->StoreRead(written);
  songStart_ = contiguousFrom_ = written;
  // The block being filled mixes audio from before the gap: not measured.
  levelsFrom_ = (written + blockFrames_ - 1) / blockFrames_ * blockFrames_;
  state_.store(kIdle, std::memory_order_relaxed);
}

}  // namespace orvweb
