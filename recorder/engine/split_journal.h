#pragma once
// The look-back ring's journal: the ring lives in a file in the state folder
// (0600, one per engine and run, named after the run), and beside the
// samples the file holds the position of the last frame captured, of the
// last frame handed to the song's encoder, and which song file those
// frames belong to. A crash (kill -9 included) thus leaves the delayed audio
// in the page cache, and the next start's repair appends it to its song.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/files/mapped_file.h"

namespace orvweb {

class SplitJournal {
 public:
  // A new journal for a ring of `slots` frames; nullptr when the file
  // cannot be made (the ring then lives in memory only). Journals of runs
  // that are over and hold nothing a repair could still use go first.
  static std::unique_ptr<SplitJournal> Create(uint32_t rate, uint32_t channels, uint64_t slots);
  // Removes the file: a run that ends in order leaves nothing behind.
  ~SplitJournal();
  SplitJournal(const SplitJournal&) = delete;
  SplitJournal& operator=(const SplitJournal&) = delete;

  int16_t* ring() const { return ring_; }
  uint64_t slots() const { return slots_; }
  uint32_t rate() const { return rate_; }
  uint32_t channels() const { return channels_; }
  const std::filesystem::path& path() const { return path_; }

  // Capture thread (or the window thread while capture is stopped): plain
  // stores into the mapping, no call into the kernel.
  void StoreWritten(uint64_t position);
  void StoreRead(uint64_t position);
  // Window thread, capture stopped: the song file the frames not yet read
  // belong to, or none.
  void SetSong(const std::string& utf8Path, int format);

 private:
  SplitJournal(platform::files::MappedFile file, std::filesystem::path path, uint32_t rate, uint32_t channels,
               uint64_t slots);

  platform::files::MappedFile file_;
  std::filesystem::path path_;
  int16_t* ring_ = nullptr;
  uint32_t rate_ = 0;
  uint32_t channels_ = 0;
  uint64_t slots_ = 0;
};

// What a journal of a run that is over held for one song file: the frames
// captured but never handed to its encoder, and just before them up to
// `primingFrames` frames that only prime an encoder.
struct JournalTail {
  platform::audio::WaveFormat format{};
  std::vector<int16_t> pcm;  // interleaved, priming first
  size_t primingFrames = 0;
  std::filesystem::path journal;
  size_t frames() const { return format.channels ? pcm.size() / format.channels : 0; }
};

// The tail a journal of a run that has ended holds for the song file at
// `utf8Path` in `format` (for WMA with a block of priming before it, as
// much of it as is held); nullopt when none does.
std::optional<JournalTail> FindJournalTail(const std::string& utf8Path, int format);

// Start-up repair: appends what a journal of a run that ended holds for
// this song file to it (MP3: encoded with LAME and added after its last
// frame; WMA: its packets copied and the tail encoded after them), then
// mends the file's header as a repair without a journal would. The journal
// is removed once its audio is in the file. False when the header could
// not be mended.
bool RepairSongWithJournal(const std::string& utf8Path, int format);

}  // namespace orvweb
