#include "recorder/engine/split_journal.h"

#include <algorithm>
#include <cstddef>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/asf/asf.h"
#include "platform/files/files.h"
#include "platform/lame/mp3_file.h"
#include "platform/shell/folders.h"
#include "recorder/core/settings.h"
#include "recorder/engine/mp3_encoder.h"
#include "recorder/engine/split_feed.h"

namespace orvweb {
namespace {

namespace fs = std::filesystem;

// The file: this header in its first page, then the ring of `slots` frames.
constexpr char kMagic[16] = "orvweb-journal1";
constexpr size_t kHeaderBytes = 4096;
constexpr std::string_view kPrefix = "orv.journal.";

struct Header {
  char magic[16];
  uint32_t rate;
  uint32_t channels;
  uint64_t slots;
  uint64_t written;  // frames captured since the ring was set up
  uint64_t read;     // frames of them handed to the song's encoder
  int32_t format;    // the song's output format, 0: no song
  uint32_t songBytes;
  char song[kHeaderBytes - 56];  // its file, UTF-8
};
static_assert(sizeof(Header) == kHeaderBytes);
static_assert(offsetof(Header, written) % 8 == 0 && offsetof(Header, read) % 8 == 0);

Header* HeaderOf(const platform::files::MappedFile& file) { return reinterpret_cast<Header*>(file.data()); }

// The run a journal's name gives ("orv.journal.<run>.<n>"), when it is one.
std::optional<platform::files::ProcessInstance> RunOf(const fs::path& file) {
  const std::string name = file.filename().string();
  if (name.rfind(kPrefix, 0) != 0) return std::nullopt;
  const size_t dot = name.rfind('.');
  if (dot <= kPrefix.size()) return std::nullopt;
  return platform::files::ProcessInstance::FromTag(std::string_view(name).substr(kPrefix.size(), dot - kPrefix.size()));
}

// Journals in the state folder whose run is over.
std::vector<fs::path> DeadJournals() {
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(platform::shell::StateFolder(), error)) {
    const auto run = RunOf(entry.path());
    if (run && !run->Alive()) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

// A journal's header and ring as read back; nullopt when the file is not a
// whole journal.
struct Held {
  platform::files::MappedFile file;
  Header header;
};

std::optional<Held> ReadJournal(const fs::path& path) {
  auto file = platform::files::MappedFile::OpenForReading(path);
  if (!file || file->size() < kHeaderBytes) return std::nullopt;
  Header header;
  std::memcpy(&header, file->data(), sizeof header);
  const bool sane = std::memcmp(header.magic, kMagic, sizeof kMagic) == 0 && header.rate > 0 &&
                    header.channels >= 1 && header.channels <= 8 && header.slots > 0 &&
                    header.slots <= (file->size() - kHeaderBytes) / (header.channels * sizeof(int16_t)) &&
                    header.read <= header.written && header.songBytes <= sizeof header.song;
  if (!sane) return std::nullopt;
  return Held{std::move(*file), header};
}

}  // namespace

std::unique_ptr<SplitJournal> SplitJournal::Create(uint32_t rate, uint32_t channels, uint64_t slots) {
  if (rate == 0 || channels == 0 || slots == 0) return nullptr;
  const fs::path folder = platform::shell::StateFolder();
  if (!platform::files::CreatePrivateFolders(folder)) return nullptr;
  // What a repair can no longer use: nothing left unread, or its song gone.
  for (const fs::path& dead : DeadJournals()) {
    const auto held = ReadJournal(dead);
    if (!held || held->header.read == held->header.written || held->header.format == 0 ||
        !platform::files::FileExists(std::string(held->header.song, held->header.songBytes))) {
      platform::files::RemoveFile(dead);
    }
  }
  static std::atomic<unsigned> counter{0};
  const fs::path path = folder / (std::string(kPrefix) + platform::files::ProcessInstance::Current().Tag() + "." +
                                  std::to_string(counter.fetch_add(1)));
  platform::files::RemoveFile(path);  // a name of this very run: never another's
  auto file = platform::files::MappedFile::Create(path, kHeaderBytes + slots * channels * sizeof(int16_t));
  if (!file) return nullptr;
  Header* header = HeaderOf(*file);
  std::memcpy(header->magic, kMagic, sizeof kMagic);
  header->rate = rate;
  header->channels = channels;
  header->slots = slots;
  return std::unique_ptr<SplitJournal>(new SplitJournal(std::move(*file), path, rate, channels, slots));
}

SplitJournal::SplitJournal(platform::files::MappedFile file, fs::path path, uint32_t rate, uint32_t channels,
                           uint64_t slots)
    : file_(std::move(file)),
      path_(std::move(path)),
      ring_(reinterpret_cast<int16_t*>(file_.data() + kHeaderBytes)),
      rate_(rate),
      channels_(channels),
      slots_(slots) {}

SplitJournal::~SplitJournal() { platform::files::RemoveFile(path_); }

void SplitJournal::StoreWritten(uint64_t position) {
  std::atomic_ref<uint64_t>(HeaderOf(file_)->written).store(position, std::memory_order_release);
}

void SplitJournal::StoreRead(uint64_t position) {
  std::atomic_ref<uint64_t>(HeaderOf(file_)->read).store(position, std::memory_order_release);
}

void SplitJournal::SetSong(const std::string& utf8Path, int format) {
  Header* header = HeaderOf(file_);
  const bool fits = !utf8Path.empty() && utf8Path.size() <= sizeof header->song;
  header->format = fits ? format : 0;
  header->songBytes = fits ? static_cast<uint32_t>(utf8Path.size()) : 0;
  if (fits) std::memcpy(header->song, utf8Path.data(), utf8Path.size());
}

std::optional<JournalTail> FindJournalTail(const std::string& utf8Path, int format) {
  for (const fs::path& path : DeadJournals()) {
    const auto held = ReadJournal(path);
    if (!held || held->header.format != format ||
        std::string_view(held->header.song, held->header.songBytes) != utf8Path) {
      continue;
    }
    const Header& h = held->header;
    JournalTail tail;
    tail.journal = path;
    const auto channels = static_cast<uint16_t>(h.channels);
    tail.format = {1, channels, h.rate, h.rate * channels * 2u, static_cast<uint16_t>(channels * 2), 16, 0};
    // Only what the ring still holds: never more than its slots back.
    const uint64_t oldest = h.written > h.slots ? h.written - h.slots : 0;
    const uint64_t from = std::max(h.read, oldest);
    const uint64_t wanted = format == kOutputFormatWma ? WmaPrimingFrames(h.rate) : 0;
    const uint64_t primeFrom = std::max(from > wanted ? from - wanted : 0, oldest);
    tail.primingFrames = static_cast<size_t>(from - primeFrom);
    const auto* ring = reinterpret_cast<const int16_t*>(held->file.data() + kHeaderBytes);
    tail.pcm.reserve(static_cast<size_t>((h.written - primeFrom) * h.channels));
    for (uint64_t at = primeFrom; at < h.written;) {
      const uint64_t slot = at % h.slots;
      const uint64_t n = std::min(h.written - at, h.slots - slot);
      tail.pcm.insert(tail.pcm.end(), ring + slot * h.channels, ring + (slot + n) * h.channels);
      at += n;
    }
    return tail;
  }
  return std::nullopt;
}

namespace {

// The song's frames, then the tail's encoded after them (no VBR frame of
// its own), into a new file that replaces the song.
bool AppendMp3(const std::string& utf8Path, const JournalTail& tail) {
  std::ifstream in(utf8Path, std::ios::binary);
  if (!in) return false;
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  // Up to the last whole frame: the crash may have cut the one after it.
  const auto scan = platform::lame::ScanMp3(bytes);
  if (!scan || scan->streamEnd > bytes.size()) return false;
  const std::string song(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(scan->streamEnd));
  const fs::path target(utf8Path);
  auto temp = platform::files::NewFile::CreateUnique(target.parent_path(), ".orvweb-mp3-");
  if (!temp || !temp->Close()) return false;
  // The encoder opens only a name that is free.
  fs::path path = temp->path();
  path += ".mp3";
  CMp3Encoder encoder;
  if (!encoder.isLoaded()) return false;
  BE_ERR opened = BE_ERR_SUCCESSFUL;
  try {
    opened = encoder.OpenStream(tail.format, path.string(), song, /*vbrHeader=*/false);
  } catch (const Mp3EncoderError&) {
    return false;
  }
  bool ok = opened == BE_ERR_SUCCESSFUL;
  const auto* pcm = reinterpret_cast<const uint8_t*>(tail.pcm.data() + tail.primingFrames * tail.format.channels);
  const auto values = static_cast<uint32_t>(tail.pcm.size() - tail.primingFrames * tail.format.channels);
  // The song's own bytes went in first and whole, so whatever of the tail
  // a failing write leaves out, the new file never holds less than the old.
  if (ok && values > 0) encoder.EncodeSamples(pcm, values);
  ok = encoder.CloseStream() == BE_ERR_SUCCESSFUL && ok;
  if (ok) {
    if (const auto mode = platform::files::Mode(target)) platform::files::SetMode(path, *mode);
    ok = platform::files::SyncFile(path) && platform::files::MoveReplace(path, target);
  }
  if (!ok) platform::files::RemoveFile(path);
  return ok;
}

}  // namespace

bool RepairSongWithJournal(const std::string& utf8Path, int format) {
  const std::optional<JournalTail> tail = FindJournalTail(utf8Path, format);
  bool appended = false;
  if (tail && tail->frames() > tail->primingFrames) {
    if (format == kOutputFormatMp3) {
      appended = AppendMp3(utf8Path, *tail);
    } else if (format == kOutputFormatWma) {
      const platform::asf::PcmTail pcm{tail->format, tail->pcm.data(), tail->frames(), tail->primingFrames};
      appended = platform::asf::RepairWmaFileAppending(utf8Path, pcm);
    }
  }
  // The header over all the frames now there (for WMA, the append did it).
  bool repaired = appended && format == kOutputFormatWma;
  if (!repaired) {
    repaired = format == kOutputFormatMp3   ? platform::lame::RepairMp3VbrHeader(utf8Path)
               : format == kOutputFormatWma ? platform::asf::RepairWmaFile(utf8Path)
                                            : false;
  }
  // Used or not, the journal has served: the song's marker goes next.
  if (tail) platform::files::RemoveFile(tail->journal);
  return repaired;
}

}  // namespace orvweb
