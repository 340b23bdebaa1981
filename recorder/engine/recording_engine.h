#pragma once
// The recording engine: the capture chain from the chosen device and input
// line through the sample tap to nothing (MP3 and monitoring, where the tap
// feeds the encoder) or to the WMA writer; the record level; the per-buffer
// sample path with its level meter and silence clock; and the life of each
// song file from its start to its deletion or tagging. A song whose name is
// taken is written under a hidden temporary name, and the longer recording
// keeps the name at the finish; a marker in the state folder names the file
// being written, so a crash can be repaired at the next start.
//
// Everything but SampleCB runs on the owner's window thread. SampleCB runs
// on the capture thread while the stream runs; the MP3 stream is opened and
// closed only while the capture stream is stopped, which keeps the two
// threads apart without a lock.
#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/asf/asf.h"
#include "platform/audio/audio.h"
#include "platform/com/hresult.h"
#include "platform/files/files.h"
#include "platform/loop/loop.h"
#include "recorder/engine/clock.h"
#include "recorder/engine/mp3_encoder.h"
#include "recorder/engine/split_feed.h"
#include "recorder/engine/split_search.h"

namespace orvweb {

using platform::HRESULT;

// The player is playing the very file that would be written.
inline constexpr HRESULT SONG_ALREADY_RECORDED = static_cast<HRESULT>(0x81000000u);

// Posted to the owner's window per captured buffer; wParam = level 0-100.
inline constexpr uint32_t kLevelMessage = 1025;
// Posted to the owner's window once when the song file cannot be written
// (disk full, folder gone): the owner stops recording and tells the user.
inline constexpr uint32_t kSongWriteFailedMessage = 1026;
// Owner timers armed for a song: limits every 3 s, record time every 1 s.
inline constexpr uint32_t kLimitTimer = 2;
inline constexpr uint32_t kRecordTimeTimer = 3;

inline constexpr int kEngineRunning = 1;
inline constexpr int kEngineIdle = 2;
inline constexpr int kEngineFailed = 3;

// Capture buffer size hint in bytes, and its bounds.
inline constexpr int kDefaultRecBufferSize = 10000;
inline constexpr int kMinRecBufferSize = 100;
inline constexpr int kMaxRecBufferSize = 88000;

// What the engine needs of its owner, the main window. Not owned.
class IEngineOwner {
 public:
  // The window for timers and level messages; nullptr while there is none.
  virtual platform::Window* EngineWindow() = 0;
  // "ShowRecLevel" as the owner last read it. Asked on the capture thread.
  virtual bool ShowRecLevel() const = 0;
  // A line of the message log by message-table id.
  virtual void WriteLogId(int id) = 0;
  // A line already formatted from the message table.
  virtual void WriteLogText(const std::u16string& /*text*/) {}

 protected:
  ~IEngineOwner() = default;
};

struct EngineServices {
  platform::audio::AudioSystem* audio = nullptr;
  std::function<std::shared_ptr<platform::asf::WmaWriter>()> makeWmaWriter;
  const Clock* clock = nullptr;  // nullptr: the system clock
};

// How long a song file of an output format plays (MP3 by its frames, WMA by
// its header; nullopt when unreadable), and the mending of one left
// unfinished by a crash.
struct SongFileTools {
  std::function<std::optional<int64_t>(const std::string& utf8Path, int format)> lengthMs;
  std::function<bool(const std::string& utf8Path, int format)> repair;
  // Whether this program made the file (its comment or description says so).
  std::function<bool(const std::string& utf8Path, int format)> madeHere = nullptr;
};

// What the start-up repair of a song left by a crash found and did.
struct SongRepair {
  bool found = false;      // a song file was left unfinished
  bool repaired = false;   // its header now tells its real length
  bool tooShort = false;   // shorter than "MinSongLength": deleted
  std::u16string name;     // the song's file name
};

// The marker of the song file this run is writing: while it exists, the
// song was not finished. In the user's state folder (mode 0600), named after
// the run (platform::files::ProcessInstance), so files kept beside it for
// the same song can be named alike.
std::filesystem::path SongMarkerPath();

// The fixed comment of every song: "Recorded by " and the product's address.
std::u16string SongComment();

class CRecordingEngine final : public platform::audio::SampleCallback {
 public:
  // With the LAME library of the program's folder or the system.
  CRecordingEngine(IEngineOwner* owner, EngineServices services);
  // With the given encoder entry points (tests).
  CRecordingEngine(IEngineOwner* owner, EngineServices services, Mp3EncoderTable encoderTable);
  ~CRecordingEngine();
  CRecordingEngine(const CRecordingEngine&) = delete;
  CRecordingEngine& operator=(const CRecordingEngine&) = delete;

  // Builds a stopped capture chain for the configured device and line.
  HRESULT BuildGraph(int monitorOnly);
  // Finishes a running song, drops the chain and the owner's song timers,
  // and builds again.
  HRESULT RebuildGraph(int monitorOnly);

  // Record level of the selected line, 0.0-1.0 (a stored value wins over the
  // mixer's); negative on failure.
  double GetRecordLevel();
  HRESULT SetRecordLevel(double level);
  HRESULT RecordLevelUp();
  HRESULT RecordLevelDown();

  HRESULT StartSong(const std::u16string& artist, const std::u16string& title, const std::u16string& sourceUrl);
  HRESULT FinishSong();
  // A song change while recording. With the look-back the song being
  // recorded ends at the boundary found in the delayed audio and the next
  // starts there; that happens a moment later, on this thread, once the
  // audio past the expected boundary has been captured (or at the next
  // finish or change, whichever comes first; a change that comes while that
  // boundary still lies ahead waits its turn instead). Without it: FinishSong, then
  // StartSong. SONG_ALREADY_RECORDED as from StartSong, nothing changed.
  HRESULT SplitSong(const std::u16string& artist, const std::u16string& title, const std::u16string& sourceUrl);

  // Replaces the real measurement and repair (tests); an empty member keeps
  // the real one.
  void SetSongFileTools(SongFileTools tools) { songFileTools_ = std::move(tools); }

  // Repairs the song files that crashes left unfinished (named by markers
  // of runs that are over; a recorder still running keeps its song) and
  // applies the length and name rules to each as a finish would.
  std::vector<SongRepair> RepairInterruptedSongs();
  // The same; what was found of the first one.
  SongRepair RepairInterruptedSong();

  // The song file being written can no longer be written or is no longer
  // where it was (its folder removed or moved); the owner then stops as
  // for a write error. Asked on the window thread.
  bool SongFileFailed() const;

  // Whole seconds since the input was last louder than the silence threshold.
  int64_t SilenceDuration() const;

  // The tap: encoder feed, level meter, silence clock, level message.
  HRESULT SampleCB(double sampleTime, const uint8_t* data, size_t length) override;

  // Largest magnitude among the buffer's 16-bit values (|-32768| = 32768);
  // 0 for fewer than two bytes.
  static int PeakLevel(const uint8_t* data, size_t length);

  int monitorOnly() const { return monitorOnly_; }
  int engineState() const { return engineState_; }
  const OleDate& songStart() const { return songStart_; }
  // The same instant on the clock, in milliseconds since 1970 (UTC).
  int64_t songStartMs() const { return songStartMs_; }
  const std::u16string& songPath() const { return songPath_; }
  // The file actually written: songPath, or a hidden temporary name beside
  // it while a file of that name exists (the longer one keeps the name).
  const std::string& writePath() const { return writePath_; }
  const std::u16string& songArtist() const { return songArtist_; }
  const std::u16string& songTitle() const { return songTitle_; }
  const platform::audio::WaveFormat& captureFormat() const { return captureFormat_; }
  int64_t lastSoundTime() const { return lastSoundTime_.load(std::memory_order_relaxed); }
  bool encodingActive() const { return encodingActive_.load(std::memory_order_relaxed); }
  bool hasGraph() const { return mediaControl_ != nullptr; }
  CMp3Encoder& encoder() { return encoder_; }
  // Captured audio waits behind the song file ("SplitSearch" ms).
  bool lookBackActive() const { return delay_.active(); }
  const SplitDelayLine& delayLine() const { return delay_; }
  bool splitPending() const { return pendingSong_.has_value(); }

 private:
  int OutputFormat() const;
  int64_t NowSeconds() const { return clock_->NowMs() / 1000; }
  void LogId(int id);
  std::optional<int64_t> SongLengthMs(const std::string& path, int format) const;
  // The encoder or the WMA writer failed a write of the song. Any thread.
  bool WritesFailed() const;
  // Posts kSongWriteFailedMessage to the owner, once per song. Any thread.
  void ReportWriteFailure();
  bool MadeHere(const std::string& path, int format) const;
  // The finished recording at written takes the song's name final, or is
  // dropped, or is kept beside a file it must not replace.
  void KeepLonger(const std::string& written, const std::string& final, int format);
  void LogText(const std::u16string& text) const;
  void WriteMarker() const;
  SongRepair RepairFromMarker(const std::filesystem::path& marker);
  // The split of the pending song change: the song being recorded ends at
  // the boundary found below `limit`, the pending one starts there.
  void ResolveSplit(uint64_t limit);
  void OnSplitReady(uint32_t request);
  // The path StartSong would record these names to.
  std::u16string SongPathFor(const std::u16string& artist, const std::u16string& title, int64_t nowMs) const;

  IEngineOwner* const owner_;
  platform::audio::AudioSystem* const audio_;
  const std::function<std::shared_ptr<platform::asf::WmaWriter>()> makeWmaWriter_;
  const Clock* const clock_;

  CMp3Encoder encoder_;
  std::atomic<bool> encodingActive_{false};
  platform::audio::WaveFormat captureFormat_{};
  std::u16string songArtist_;
  std::u16string songTitle_;
  std::atomic<int64_t> lastSoundTime_{0};
  int monitorOnly_ = 1;
  OleDate songStart_{};
  int64_t songStartMs_ = 0;
  int engineState_ = kEngineIdle;
  // The current song opened a file (the name in songPath_).
  bool songFileStarted_ = false;
  std::u16string songPath_;
  std::string writePath_;
  int songFormat_ = 0;
  SongFileTools songFileTools_;
  std::unique_ptr<platform::audio::CaptureStream> mediaControl_;
  std::shared_ptr<platform::audio::InputMixer> inputMixer_;
  std::shared_ptr<platform::asf::WmaWriter> fileSink_;

  // The look-back: the capture thread feeds the song file through delay_
  // while delayFeeding_ is set. The ring outlives the stream's stops, so a
  // split can drain what belongs to the old song and keep the rest.
  SplitDelayLine delay_;
  SongSink songSink_{encoder_, 2};
  std::shared_ptr<WriterStandIn> standIn_;
  std::atomic<bool> delayFeeding_{false};
  // The engine starts and stops the WMA writer itself while it feeds it.
  bool writerStarted_ = false;
  struct PendingSong {
    std::u16string artist;
    std::u16string title;
    std::u16string sourceUrl;
    uint32_t request = 0;
    // A change queued behind another: the frame it arrived at, and the
    // limit that sets on the split before it.
    uint64_t arrival = 0;
    uint64_t limitBefore = UINT64_MAX;
  };
  std::optional<PendingSong> pendingSong_;
  // Changes that came while the pending split's boundary still lay ahead
  // (titles that come early): each is split in turn, after the one before.
  std::deque<PendingSong> queuedSongs_;
  // The limit for deciding the pending split: short of the next change's.
  uint64_t PendingLimit() const { return queuedSongs_.empty() ? UINT64_MAX : queuedSongs_.front().limitBefore; }
  // Inside ResolveSplit: FinishSong drains up to splitAt_ only and StartSong
  // keeps the rest for the new file.
  bool splitting_ = false;
  uint64_t splitLimit_ = 0;
  uint64_t splitAt_ = 0;
  std::unique_ptr<SplitWindow> splitWindow_;
  std::atomic<SplitWindow*> splitPost_{nullptr};
  // The write failure has been posted to the owner (once per song).
  std::atomic<bool> writeFailurePosted_{false};
  // The song file as opened, to notice it being removed under us.
  std::optional<platform::files::FileIdentity> writeIdentity_;
};

// Pins of a capture device by direction (used by the options page as well).
void CountPins(platform::audio::CaptureDevice& device, int& inputs, int& outputs);
// Position (among all pins) of the n-th pin of that direction; E_FAIL when
// there are fewer.
HRESULT GetPin(platform::audio::CaptureDevice& device, platform::audio::PinDirection direction, int n,
               size_t& pinIndex);
HRESULT GetOutPin(platform::audio::CaptureDevice& device, int n, size_t& pinIndex);
// Switches input line index on and every other line off; lines without a
// mixer are skipped. An index past the last line switches every line off.
void SelectInputLine(platform::audio::CaptureDevice& device, int index);

}  // namespace orvweb
