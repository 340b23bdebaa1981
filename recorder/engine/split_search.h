#pragma once
// The look-back behind the song file: captured PCM waits in a preallocated
// ring for "SplitSearch" ms before it reaches the encoder, so that a title
// change can still be split at the true boundary: the middle of the quiet
// stretch nearest to "arrival minus the expected lag", or that point itself
// when the songs run into each other. The lag depends on player and station
// and has either sign: mpv reports a title after the boundary was heard, VLC
// and browsers read it from the network seconds before their buffer plays
// it. So the search looks both ways, up to the window's length behind and
// ahead of the arrival, and a split whose boundary lies ahead waits for that
// audio while the old song keeps being written. The expected lag is learned
// from the boundaries found in quiet stretches.
//
// Threads: Process runs on the capture thread while the stream runs and is
// then the only one to touch the ring. RequestSplit may be called by the
// window thread at any time; everything else only while the capture stream
// is stopped (its Stop returns after the last Process, which orders the two).
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/audio.h"
#include "recorder/engine/split_journal.h"

namespace orvweb {

inline constexpr int kDefaultSplitSearchMs = 3000;
inline constexpr int kMaxSplitSearchMs = 10000;

// Where PCM goes once it leaves the delay: the current song's encoder.
class PcmSink {
 public:
  virtual void WritePcm(const int16_t* values, size_t frames) = 0;

 protected:
  ~PcmSink() = default;
};

// How late titles arrive, in frames: the median of the last lags found at
// quiet stretches (one odd boundary does not move it), clamped to what the
// window can hold. 0 until one is found.
class LagEstimator {
 public:
  static constexpr size_t kHistory = 7;

  void SetBounds(int64_t lowest, int64_t highest);
  void Add(int64_t lag);
  int64_t Expected() const;
  size_t count() const { return count_; }
  void Clear() { count_ = next_ = 0; }

 private:
  std::array<int64_t, kHistory> lags_{};
  size_t count_ = 0;
  size_t next_ = 0;
  int64_t lowest_ = 0;
  int64_t highest_ = 0;
};

class SplitDelayLine {
 public:
  // Level blocks of this length are compared with the silence threshold; a
  // quiet stretch is at least kMinQuietMs of them in a row.
  static constexpr int kBlockMs = 5;
  static constexpr int kMinQuietMs = 40;
  // A block is quiet when its largest magnitude stays below this: level 2.0
  // (the engine's silence threshold) lies between 655 and 656.
  static constexpr int kSoundPeak = 656;
  // How far from the expected boundary a quiet stretch counts as that
  // boundary, and the longest a split waits for audio past it before it
  // settles for a search of the whole window.
  static constexpr int kMaxForwardMs = 1000;
  // History kept behind the read position for priming a new file's encoder.
  static constexpr int kHistoryMs = 60;

  SplitDelayLine() = default;
  SplitDelayLine(const SplitDelayLine&) = delete;
  SplitDelayLine& operator=(const SplitDelayLine&) = delete;

  // Sizes everything for the format and delay (allocates; stream stopped)
  // and empties the line. A delay of 0 or less, or a format other than
  // 16-bit PCM, leaves the line off: the caller feeds its encoder directly.
  // With `journaled` the ring lives in a journal file (see split_journal.h),
  // or in memory when none can be made.
  void Configure(const platform::audio::WaveFormat& format, int delayMs, bool journaled = false);
  bool journaled() const { return journal_ != nullptr; }
  // Stream stopped: the song file the frames not yet drained belong to,
  // for a repair after a crash; empty for none.
  void SetJournalSong(const std::string& utf8Path, int format);
  bool active() const { return delayFrames_ > 0; }
  uint32_t rate() const { return rate_; }
  uint32_t channels() const { return channels_; }
  uint64_t delayFrames() const { return delayFrames_; }

  // Capture thread: takes the buffer's frames in and hands the sink whatever
  // has waited the full delay (while a split is pending, only what would
  // otherwise overflow). Never allocates or blocks. True once per pending
  // split, when it can be decided: a quiet stretch near its expected
  // boundary has been captured whole, or the whole window both ways has.
  // The caller then tells the window thread.
  bool Process(const uint8_t* data, size_t frames, PcmSink& sink);

  // Window thread: a title change arrived now, or at frame `arrival` for a
  // change that waited for the split before it. Replaces a pending request;
  // a caller that wants the earlier one decides it first. Returns the
  // request's number, which `readyRequest` reports back.
  uint32_t RequestSplit(uint64_t arrival = UINT64_MAX);
  // The pending split's expected boundary has not been captured yet (its
  // title came early): deciding it now would miss it.
  bool BoundaryAhead() const {
    return splitPending() && target_.load(std::memory_order_relaxed) + minQuietFrames_ > written();
  }
  bool splitPending() const { return state_.load(std::memory_order_acquire) != kIdle; }
  uint32_t request() const { return request_.load(std::memory_order_relaxed); }
  // Frame position at which the pending request arrived and the boundary it
  // expects (arrival minus the expected lag).
  uint64_t arrival() const { return arrival_; }
  int64_t expectedBoundary() const { return static_cast<int64_t>(arrival_) - lag_.Expected(); }

  // Stream stopped: the split of the pending request, at or below `limit`
  // (the next change's expected boundary, when one came in before this was
  // decided). Learns the lag when the split lies in a quiet stretch, and
  // clears the request. Never below the current song's first frame plus
  // kMinQuietMs (no empty song) unless nothing at all was captured past it.
  uint64_t DecideSplit(uint64_t limit = UINT64_MAX);
  // The limit for deciding a pending split when the next change arrives
  // now: short of that change's expected boundary, so the earlier split
  // never takes the later boundary.
  uint64_t LimitForNextChange() const;
  // Whether the last DecideSplit found a quiet stretch.
  bool lastSplitInQuiet() const { return lastInQuiet_; }

  // Stream stopped: hands the sink the frames before `position`, or all.
  void DrainTo(uint64_t position, PcmSink& sink);
  void DrainAll(PcmSink& sink) { DrainTo(written(), sink); }
  // Stream stopped: hands the sink up to `frames` frames that lie just
  // before `position` and are still held (already drained or not); the
  // number handed.
  size_t Replay(uint64_t position, size_t frames, PcmSink& sink) const;
  // A song file starts with the next frame to be read.
  void MarkSongStart() { songStart_ = read_.load(std::memory_order_relaxed); }
  // Drops what is held (nothing is written) and any pending request.
  void Discard();

  uint64_t written() const { return written_.load(std::memory_order_acquire); }
  uint64_t read() const { return read_.load(std::memory_order_relaxed); }
  uint64_t songStart() const { return songStart_; }
  int64_t expectedLag() const { return lag_.Expected(); }
  LagEstimator& lag() { return lag_; }

 private:
  enum : int { kIdle = 0, kPending = 1, kReady = 2 };

  void Store(const uint8_t* data, size_t frames);
  void Pop(uint64_t end, PcmSink& sink);
  bool BlockKnown(uint64_t block) const;
  bool BlockQuiet(uint64_t block) const { return peaks_[block % peaks_.size()] < kSoundPeak; }
  // Middles of the quiet stretches (at least kMinQuietMs) between `floor`
  // and `hi` nearest to `target`: any, and within kMaxForwardMs of it.
  struct Quiet {
    bool any = false;
    bool near = false;
    uint64_t nearest = 0;
    uint64_t nearestNear = 0;
  };
  Quiet FindQuiet(uint64_t lo, uint64_t floor, uint64_t hi, uint64_t target) const;

  uint32_t rate_ = 0;
  uint32_t channels_ = 0;
  uint64_t delayFrames_ = 0;
  uint64_t forwardFrames_ = 0;
  uint64_t capacity_ = 0;  // frames held at most, unread
  uint64_t blockFrames_ = 1;
  uint64_t minQuietFrames_ = 1;
  std::vector<int16_t> memory_;    // the ring without a journal
  std::unique_ptr<SplitJournal> journal_;
  int16_t* ring_ = nullptr;        // (capacity_ + history) frames
  std::vector<uint16_t> peaks_;    // one per block, by absolute block number
  uint64_t slots_ = 0;             // frames in ring_
  uint32_t blockPeak_ = 0;         // the block being filled
  uint64_t levelsFrom_ = 0;        // first frame of the first block measured whole
  uint64_t contiguousFrom_ = 0;    // first frame captured without a gap since

  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> read_{0};
  uint64_t songStart_ = 0;

  std::atomic<int> state_{kIdle};
  std::atomic<uint32_t> request_{0};
  std::atomic<uint64_t> decideAt_{0};   // the expected boundary, one forward span on
  std::atomic<uint64_t> deadline_{0};   // a quiet stretch still going on is waited out till here
  std::atomic<uint64_t> wholeAt_{0};    // the window both ways is captured
  std::atomic<uint64_t> target_{0};     // the expected boundary
  uint64_t arrival_ = 0;
  bool lastInQuiet_ = false;
  LagEstimator lag_;
};

}  // namespace orvweb
