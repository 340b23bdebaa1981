#pragma once
// The now-playing channel between the player plug-in (the only writer) and
// the recorder (a reader): one fixed 32008-byte record in a named section,
// and a broadcast notice after every completed write. The notice carries no
// data; it tells readers to read the record again.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

namespace orvweb {

constexpr size_t kNowPlayingFieldUnits = 4000;
// At most this many units of text are stored, so a NUL always ends a field.
constexpr size_t kNowPlayingMaxTextUnits = kNowPlayingFieldUnits - 1;

// Little-endian, no padding; the layout is shared with the other process.
struct NowPlayingRecord {
  uint32_t recordSize;
  int32_t playState;
  char16_t author[kNowPlayingFieldUnits];
  char16_t title[kNowPlayingFieldUnits];
  char16_t npv[kNowPlayingFieldUnits];
  char16_t sourceUrl[kNowPlayingFieldUnits];
};

static_assert(sizeof(char16_t) == 2);
static_assert(offsetof(NowPlayingRecord, recordSize) == 0);
static_assert(offsetof(NowPlayingRecord, playState) == 4);
static_assert(offsetof(NowPlayingRecord, author) == 8);
static_assert(offsetof(NowPlayingRecord, title) == 8008);
static_assert(offsetof(NowPlayingRecord, npv) == 16008);
static_assert(offsetof(NowPlayingRecord, sourceUrl) == 24008);
static_assert(sizeof(NowPlayingRecord) == 32008);

constexpr uint32_t kNowPlayingRecordSize = sizeof(NowPlayingRecord);

// Names of the section and of the notice (UTF-16, as the system's texts are).
inline constexpr std::u16string_view kNowPlayingSectionName = u"F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE";
inline constexpr std::u16string_view kNowPlayingMessageName = u"3787ED1C-E59D-46b8-A834-E3AA343ACCFE";

// The player's play states that mean something on this channel.
constexpr int32_t kPlayStateStopped = 1;
constexpr int32_t kPlayStatePaused = 2;
constexpr int32_t kPlayStatePlaying = 3;
constexpr int32_t kPlayStateMediaEnded = 8;

struct NowPlayingItem {
  std::u16string author;
  std::u16string title;
  std::u16string npv;
  std::u16string sourceUrl;
};

// Copies text into a field: cut to its first 3999 units, NUL-terminated.
void StoreField(char16_t (&field)[kNowPlayingFieldUnits], std::u16string_view text);
// Reads a field up to its first NUL and never beyond its end.
std::u16string LoadField(const char16_t (&field)[kNowPlayingFieldUnits]);

// The writer side. Open() fails (nullptr) while another writer lives.
class NowPlayingWriter {
 public:
  static std::unique_ptr<NowPlayingWriter> Open();
  // The closing write, unless WriteClosing() made it already; then the
  // section is closed and disappears.
  ~NowPlayingWriter();
  NowPlayingWriter(const NowPlayingWriter&) = delete;
  NowPlayingWriter& operator=(const NowPlayingWriter&) = delete;

  // Zero-fills the record, stores state and the four texts, then notifies.
  void WriteFull(int32_t playState, const NowPlayingItem& item);
  // Changes only the size and state (bytes 0-7), then notifies.
  void WriteState(int32_t playState);
  // The closing write: state 8, texts kept, then the notice. Made once; the
  // section stays until the writer goes, so a reader that wakes up on the
  // notice while the owner is still shutting down sees the final state.
  void WriteClosing();

  const NowPlayingRecord& record() const { return *record_; }

 private:
  struct Impl;
  explicit NowPlayingWriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  NowPlayingRecord* record_;
  bool closed_ = false;
};

// Posts the notice to every listener without waiting for any.
void NotifyNowPlaying();
// The notice's name as the platform layer takes it (UTF-8).
std::string NowPlayingMessageNameUtf8();

// The reader side.
struct NowPlayingSnapshot {
  int32_t playState = 0;
  NowPlayingItem item;
};

enum class NowPlayingReadResult { Ok, NotPresent, NothingToRead };

bool NowPlayingPresent();
NowPlayingReadResult ReadNowPlaying(NowPlayingSnapshot& out);
// Decodes a record copy (the reader's step after copying the section).
NowPlayingSnapshot DecodeNowPlaying(const NowPlayingRecord& record);

}  // namespace orvweb
