#include "recorder/engine/recording_engine.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/files/files.h"
#include "platform/id3/id3_tag.h"
#include "platform/lame/lame.h"
#include "platform/lame/mp3_file.h"
#include "platform/shell/folders.h"
#include "platform/text/utf.h"
#include "recorder/core/endpoints.h"
#include "recorder/core/format.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/engine/song_name.h"

namespace orvweb {

using platform::E_FAIL;
using platform::E_NOINTERFACE;
using platform::E_POINTER;
using platform::FAILED;
using platform::S_FALSE;
using platform::S_OK;
using platform::SUCCEEDED;
using platform::audio::PinDirection;

namespace {

// 100 / 32768: the level in percent of 16-bit full scale.
constexpr float kLevelFactor = 0.0030517578125f;
// A buffer counts as sound only above this level (a peak of 656 or more).
constexpr float kSilenceThreshold = 2.0f;
constexpr int kRunWaitMs = 2000;
constexpr int kDefaultMinSongLength = 40;
// Song changes that may wait behind a split whose boundary lies ahead.
constexpr size_t kMaxQueuedSongs = 8;

// The level in thousandths as stored. The small bias keeps a level such as
// 0.29 + 0.05 from being stored as 339 for want of one binary digit.
int ToThousandths(double level) { return static_cast<int>(std::trunc(level * 1000.0 + 1e-6)); }

bool HasMp3Extension(std::u16string_view path) {
  if (path.size() < 4) return false;
  std::u16string_view tail = path.substr(path.size() - 4);
  const char16_t* expected = u".mp3";
  for (size_t i = 0; i < 4; ++i) {
    char16_t c = tail[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != expected[i]) return false;
  }
  return true;
}

// Six hex digits for a temporary song name.
std::u16string RandomSuffix() {
  static std::mt19937 generator{std::random_device{}()};
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06x", static_cast<unsigned>(generator() & 0xFFFFFF));
  return platform::FromUtf8(digits);
}

// The marker: a version line, then format, written file, final name,
// artist and title, each ended by a NUL (no path or text holds one).
constexpr char kMarkerVersion[] = "orvweb-song 1\n";

struct Marker {
  int format = 0;
  std::string written;
  std::string final;
  std::u16string artist;
  std::u16string title;
};

std::optional<Marker> ReadMarker(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  if (bytes.rfind(kMarkerVersion, 0) != 0) return Marker{};
  std::vector<std::string> fields;
  size_t at = sizeof kMarkerVersion - 1;
  for (size_t end; (end = bytes.find('\0', at)) != std::string::npos; at = end + 1) fields.push_back(bytes.substr(at, end - at));
  if (fields.size() != 5 || fields[1].empty() || fields[2].empty()) return Marker{};
  Marker m;
  m.format = fields[0] == "1" ? kOutputFormatMp3 : fields[0] == "2" ? kOutputFormatWma : 0;
  m.written = fields[1];
  m.final = fields[2];
  m.artist = platform::FromUtf8(fields[3]);
  m.title = platform::FromUtf8(fields[4]);
  return m;
}

constexpr std::string_view kMarkerName = "orv.recording";

// Markers left by runs that are over: every "orv.recording.<run>" whose run
// has ended, and the one unnamed marker of older versions. ownIdle: this
// process's own marker counts too (no song of this engine is open).
std::vector<std::filesystem::path> OrphanedMarkers(bool ownIdle) {
  std::vector<std::filesystem::path> found;
  std::error_code error;
  const std::string own = SongMarkerPath().filename().string();
  for (const auto& entry : std::filesystem::directory_iterator(platform::shell::StateFolder(), error)) {
    const std::string name = entry.path().filename().string();
    if (name == kMarkerName) {
      found.push_back(entry.path());
      continue;
    }
    if (name.size() <= kMarkerName.size() + 1 || name.rfind(std::string(kMarkerName) + ".", 0) != 0) continue;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0) continue;
    if (name == own) {
      if (ownIdle) found.push_back(entry.path());
      continue;
    }
    const auto writer = platform::files::ProcessInstance::FromTag(name.substr(kMarkerName.size() + 1));
    if (writer && !writer->Alive()) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

void RemoveMarker() { platform::files::RemoveFile(SongMarkerPath()); }

// The player's source is the file at path: compared as files (device and
// inode), so a relative name, another spelling or a symbolic link to the
// songs folder is recognised too.
bool PlaysFile(const std::u16string& source, const std::string& path) {
  const std::optional<std::string> local = LocalPathOf(source);
  if (!local) return false;
  const auto played = platform::files::IdentityOf(*local);
  return played && played == platform::files::IdentityOf(path);
}

// Where a file's entry lives, for syncing it after a rename.
std::filesystem::path FolderOf(const std::string& path) { return std::filesystem::path(path).parent_path(); }

}  // namespace

std::filesystem::path SongMarkerPath() {
  // One marker per run: two recorders never take each other's song for one
  // left by a crash.
  static const std::string run = platform::files::ProcessInstance::Current().Tag();
  return platform::shell::StateFolder() / (std::string(kMarkerName) + "." + run);
}

std::u16string SongComment() { return std::u16string(u"Recorded by ") + kProductWebAddress; }

// ---- pins ----

void CountPins(platform::audio::CaptureDevice& device, int& inputs, int& outputs) {
  inputs = outputs = 0;
  for (const auto& pin : device.Pins()) ++(pin.direction == PinDirection::Input ? inputs : outputs);
}

HRESULT GetPin(platform::audio::CaptureDevice& device, PinDirection direction, int n, size_t& pinIndex) {
  const auto pins = device.Pins();
  int seen = 0;
  for (size_t i = 0; i < pins.size(); ++i) {
    if (pins[i].direction != direction) continue;
    if (seen++ == n) {
      pinIndex = i;
      return S_OK;
    }
  }
  return E_FAIL;
}

HRESULT GetOutPin(platform::audio::CaptureDevice& device, int n, size_t& pinIndex) {
  return GetPin(device, PinDirection::Output, n, pinIndex);
}

void SelectInputLine(platform::audio::CaptureDevice& device, int index) {
  int inputs = 0;
  int outputs = 0;
  CountPins(device, inputs, outputs);
  for (int i = 0; i < inputs; ++i) {
    size_t pin = 0;
    if (FAILED(GetPin(device, PinDirection::Input, i, pin))) continue;
    if (auto mixer = device.Mixer(pin)) mixer->Enable(i == index);
  }
}

// ---- the engine ----

CRecordingEngine::CRecordingEngine(IEngineOwner* owner, EngineServices services)
    : CRecordingEngine(owner, std::move(services), platform::lame::LameEncoderTable()) {
  // From now on the output format follows whether LAME can be bound.
  InstallMp3EncoderProbe();
}

CRecordingEngine::CRecordingEngine(IEngineOwner* owner, EngineServices services, Mp3EncoderTable encoderTable)
    : owner_(owner),
      audio_(services.audio),
      makeWmaWriter_(std::move(services.makeWmaWriter)),
      clock_(services.clock ? services.clock : &SystemClock()),
      encoder_(std::move(encoderTable)) {}

CRecordingEngine::~CRecordingEngine() {
  // Stops the capture thread before the encoder it feeds, or the writer it
  // asks about failed writes, goes away.
  mediaControl_.reset();
  fileSink_.reset();
  inputMixer_.reset();
  splitPost_.store(nullptr);
  splitWindow_.reset();
}

int CRecordingEngine::OutputFormat() const {
  return GetOutputFormat([this] { return encoder_.isLoaded(); });
}

void CRecordingEngine::LogId(int id) {
  if (owner_ && owner_->EngineWindow()) owner_->WriteLogId(id);
}

void CRecordingEngine::LogText(const std::u16string& text) const {
  if (owner_ && owner_->EngineWindow()) owner_->WriteLogText(text);
}

HRESULT CRecordingEngine::BuildGraph(int monitorOnly) {
  // The chain is built stopped; a song still running is finished first.
  if (engineState_ != kEngineIdle) FinishSong();
  monitorOnly_ = monitorOnly;
  encodingActive_ = false;
  fileSink_.reset();
  mediaControl_.reset();
  if (!audio_) return E_POINTER;

  std::shared_ptr<platform::audio::CaptureDevice> device;
  const std::string sourceName = platform::ToUtf8(GetProfileString(kKeySourceName, u""));
  HRESULT hr = audio_->BindCaptureDevice(sourceName, device);
  if (FAILED(hr)) return hr;
  if (!device) return E_POINTER;

  const int sourceInput = GetProfileInt(kKeySourceInput, 0);
  SelectInputLine(*device, sourceInput);
  size_t inputPin = 0;
  hr = GetPin(*device, PinDirection::Input, sourceInput, inputPin);
  if (FAILED(hr)) return hr;
  inputMixer_ = device->Mixer(inputPin);
  if (!inputMixer_) return E_NOINTERFACE;

  // Re-apply the stored level. A level that cannot be read is left alone:
  // clamping the failure to 0.0 would record silence.
  if (const double level = GetRecordLevel(); level >= 0.0) SetRecordLevel(level);

  std::shared_ptr<platform::asf::WmaWriter> writer;
  if (!monitorOnly && OutputFormat() != kOutputFormatMp3) {
    if (makeWmaWriter_) writer = makeWmaWriter_();
    if (!writer) return E_FAIL;
  }

  size_t outputPin = 0;
  if (FAILED(GetOutPin(*device, 0, outputPin))) return E_POINTER;

  int bufferSize = GetProfileInt(kKeyRecBufferSize, kDefaultRecBufferSize);
  if (bufferSize > kMaxRecBufferSize || bufferSize < kMinRecBufferSize) bufferSize = kDefaultRecBufferSize;
  WriteProfileInt(kKeyRecBufferSize, bufferSize);

  double mixLevel = 0.0;
  inputMixer_->GetMixLevel(mixLevel);  // a check only, as the device offers it

  // The stream drives a stand-in for the writer; with the look-back the
  // engine feeds the writer itself from the delayed audio.
  // Only a recording chain delays its audio; a monitor has no file.
  const int splitSearchMs = monitorOnly ? 0 : GetSplitSearchMs();
  standIn_ = writer && splitSearchMs > 0 ? std::make_shared<WriterStandIn>(writer) : nullptr;
  std::unique_ptr<platform::audio::CaptureStream> stream;
  hr = audio_->Connect(device, static_cast<uint32_t>(bufferSize), this,
                       standIn_ ? std::shared_ptr<platform::audio::Downstream>(standIn_) : writer, stream);
  if (FAILED(hr)) return hr;
  if (!stream) return E_POINTER;
  captureFormat_ = stream->Format();
  delay_.Configure(captureFormat_, splitSearchMs, /*journaled=*/true);
  songSink_.SetChannels(captureFormat_.channels);
  songSink_.SetWriter(delay_.active() ? writer.get() : nullptr);
  if (standIn_) standIn_->SetPassThrough(!delay_.active());
  fileSink_ = std::move(writer);
  mediaControl_ = std::move(stream);
  return hr;
}

HRESULT CRecordingEngine::RebuildGraph(int monitorOnly) {
  if (engineState_ == kEngineRunning) FinishSong();
  mediaControl_.reset();
  inputMixer_.reset();
  fileSink_.reset();
  standIn_.reset();
  if (owner_) {
    if (platform::Window* window = owner_->EngineWindow()) {
      window->KillTimer(kRecordTimeTimer);
      window->KillTimer(kLimitTimer);
    }
  }
  return BuildGraph(monitorOnly);
}

double CRecordingEngine::GetRecordLevel() {
  if (!inputMixer_) return -1.0;
  double mixLevel = 0.0;
  const HRESULT hr = inputMixer_->GetMixLevel(mixLevel);
  if (FAILED(hr)) return hr;
  return GetProfileInt(kKeyRecordLevel, ToThousandths(mixLevel)) * 0.001;
}

HRESULT CRecordingEngine::SetRecordLevel(double level) {
  level = std::isnan(level) ? 0.0 : std::clamp(level, 0.0, 1.0);
  if (!inputMixer_) return E_POINTER;
  const HRESULT hr = inputMixer_->SetMixLevel(level);
  if (FAILED(hr)) return hr;
  WriteProfileInt(kKeyRecordLevel, ToThousandths(level));
  return S_OK;
}

HRESULT CRecordingEngine::RecordLevelUp() {
  const double level = GetRecordLevel();
  if (level < 0.0) return static_cast<HRESULT>(level);
  return SetRecordLevel(level + (level < 0.1 ? 0.01 : 0.05));
}

HRESULT CRecordingEngine::RecordLevelDown() {
  const double level = GetRecordLevel();
  if (level < 0.0) return static_cast<HRESULT>(level);
  return SetRecordLevel(level - (level <= 0.1 ? 0.01 : 0.05));
}

HRESULT CRecordingEngine::StartSong(const std::u16string& artist, const std::u16string& title,
                                    const std::u16string& sourceUrl) {
  songArtist_ = artist;
  songTitle_ = title;
  if (!mediaControl_) return E_POINTER;  // no chain was built

  const int64_t nowMs = clock_->NowMs();
  std::tm local{};
  const bool haveLocal = clock_->LocalTime(nowMs, local);
  const std::u16string base = SongBaseName(artist, title, haveLocal ? &local : nullptr);

  const int format = OutputFormat();
  if (!monitorOnly_ && (format == kOutputFormatMp3 || fileSink_)) {
    // The encoder may only be reopened while the capture thread is stopped;
    // a run that failed may still have started late.
    if (engineState_ != kEngineIdle) FinishSong();
    lastSoundTime_.store(nowMs / 1000, std::memory_order_relaxed);

    const std::u16string extension = format == kOutputFormatMp3   ? u".mp3"
                                     : format == kOutputFormatWma ? u".wma"
                                                                  : u"";
    const std::u16string folder = GetSongsFolder();
    const std::u16string safeBase = ReplaceReservedCharacters(base);
    songPath_ = folder + FitFileName(safeBase, extension);
    const std::string finalPath = platform::ToUtf8(songPath_);
    const bool taken = platform::files::FileExists(finalPath);
    if (taken && PlaysFile(sourceUrl, finalPath)) return SONG_ALREADY_RECORDED;
    // A song of that name is never cut: this recording goes to a hidden
    // ".<name>.part-<6 hex>" beside it until the finish compares the two.
    writePath_ = finalPath;
    for (int attempt = 0; taken && attempt < 16 && writePath_ == finalPath; ++attempt) {
      const std::u16string suffix = extension + u".part-" + RandomSuffix();
      const std::string candidate =
          platform::ToUtf8(folder + u"." + FitFileName(safeBase, suffix, kMaxFileNameBytes - 1));
      if (!platform::files::FileExists(candidate)) writePath_ = candidate;
    }
    if (taken && writePath_ == finalPath) return E_FAIL;
    const std::string& path = writePath_;
    songFormat_ = format;

    // A song split off the delayed audio began as long ago as the audio
    // still held for it.
    int64_t startMs = nowMs;
    if (splitting_ && delay_.rate() > 0) {
      startMs -= static_cast<int64_t>((delay_.written() - splitAt_) * 1000 / delay_.rate());
    }
    std::tm startLocal{};
    const bool haveStart = clock_->LocalTime(startMs, startLocal);
    songStart_ = haveStart ? ToOleDate(startLocal, static_cast<int>(((startMs % 1000) + 1000) % 1000))
                           : OleDate{0.0, false};
    songStartMs_ = startMs;

    if (format == kOutputFormatMp3) {
      if (!encoder_.isLoaded()) return E_FAIL;
      BE_ERR opened = BE_ERR_SUCCESSFUL;
      try {
        opened = encoder_.OpenStream(captureFormat_, path,
                                     platform::id3::SongId3v2Tag(artist, title, SongComment()));
      } catch (const Mp3EncoderError&) {
        return E_FAIL;
      }
      // A stream that did not open is never fed; a file that could not be
      // made or written (a full disk) stops the recording like a failed write.
      if (opened == kMp3WriteFailed) ReportWriteFailure();
      if (opened != BE_ERR_SUCCESSFUL) return E_FAIL;
      encodingActive_.store(true, std::memory_order_release);
    } else if (format == kOutputFormatWma) {
      HRESULT hr = fileSink_->SetFileName(path);
      if (FAILED(hr)) return hr;
      hr = fileSink_->SetAttribute(u"Description", SongComment());
      if (SUCCEEDED(hr) && !artist.empty()) hr = fileSink_->SetAttribute(u"Author", artist);
      if (SUCCEEDED(hr) && !title.empty()) hr = fileSink_->SetAttribute(u"Title", title);
      if (FAILED(hr)) return hr;
      if (delay_.active()) {
        hr = fileSink_->Start(captureFormat_);
        if (FAILED(hr)) return hr;
        writerStarted_ = true;
        // The encoder swallows its first block: it gets the audio before the
        // split, so the song itself is heard from its first frame.
        if (splitting_) delay_.Replay(splitAt_, WmaPrimingFrames(captureFormat_.samplesPerSec), songSink_);
      }
    }
    if (delay_.active()) {
      // A split hands on what is held past its point; a fresh start holds
      // nothing from before it.
      if (splitting_) {
        delay_.MarkSongStart();
      } else {
        delay_.Discard();
      }
      delay_.SetJournalSong(path, format);
      delayFeeding_.store(true, std::memory_order_release);
    }
    songFileStarted_ = true;
    writeFailurePosted_.store(false, std::memory_order_relaxed);
    // With the WMA writer started by the stream the file appears at Run.
    writeIdentity_ = platform::files::IdentityOf(writePath_);
    WriteMarker();
    if (owner_) {
      if (platform::Window* window = owner_->EngineWindow()) {
        window->SetTimer(kLimitTimer, 3000);
        window->SetTimer(kRecordTimeTimer, 1000);
      }
    }
  }

  HRESULT hr = mediaControl_->Run();
  if (hr == S_FALSE) hr = mediaControl_->WaitRunning(kRunWaitMs);
  if (songFileStarted_ && !writeIdentity_) writeIdentity_ = platform::files::IdentityOf(writePath_);
  engineState_ = FAILED(hr) ? kEngineFailed : kEngineRunning;
  return hr;
}

HRESULT CRecordingEngine::FinishSong() {
  // A change still waiting for its split is made first: this finish then
  // ends the song that change started.
  while (pendingSong_ && !splitting_) ResolveSplit(PendingLimit());
  if (engineState_ == kEngineIdle) return S_OK;
  HRESULT hr = E_POINTER;
  if (mediaControl_) hr = mediaControl_->Stop();
  if (delayFeeding_.load(std::memory_order_relaxed)) {
    // The capture thread is stopped: the delayed audio goes into this file,
    // all of it, or at a split what lies before the boundary.
    delayFeeding_.store(false, std::memory_order_relaxed);
    if (splitting_) {
      splitAt_ = delay_.DecideSplit(splitLimit_);
      delay_.DrainTo(splitAt_, songSink_);
    } else {
      delay_.DrainAll(songSink_);
    }
  }
  if (writerStarted_) {
    writerStarted_ = false;
    const HRESULT stopped = fileSink_ ? fileSink_->Stop() : E_POINTER;
    // A song cut short by a full disk is still finished: kept, not a failure.
    if (SUCCEEDED(hr) && !(fileSink_ && fileSink_->WriteFailed())) hr = stopped;
  }
  if (encodingActive_.load(std::memory_order_relaxed)) {
    // Only once the capture thread is stopped (or there is none).
    encoder_.CloseStream();
    encodingActive_.store(false, std::memory_order_relaxed);
  }
  // The delayed audio drained just now may be what found the disk full.
  if (songFileStarted_ && WritesFailed()) ReportWriteFailure();
  const std::string finalPath = platform::ToUtf8(songPath_);
  if (engineState_ == kEngineRunning && !monitorOnly_ && songFileStarted_) {
    // At a split the song ended where the audio still held for the next begins.
    int64_t endMs = clock_->NowMs();
    if (splitting_ && delay_.rate() > 0) {
      endMs -= static_cast<int64_t>((delay_.written() - splitAt_) * 1000 / delay_.rate());
    }
    const int64_t lengthSeconds = std::llround((endMs - songStartMs_) / 1000.0);
    const int minLength = GetProfileInt(kKeyMinSongLength, kDefaultMinSongLength);
    if (lengthSeconds < minLength) {
      // Only this recording: a file of the same name stays.
      platform::files::RemoveFile(writePath_);
      LogId(IDS_SONG_TOO_SHORT);
    } else {
      if (HasMp3Extension(songPath_)) platform::id3::WriteSongTag(writePath_, songArtist_, songTitle_, SongComment());
      if (writePath_ != finalPath) KeepLonger(writePath_, finalPath, songFormat_);
    }
  } else if (songFileStarted_ && writePath_ != finalPath) {
    // A run that failed leaves the existing song as it was.
    platform::files::RemoveFile(writePath_);
  }
  if (songFileStarted_) RemoveMarker();
  songFileStarted_ = false;
  engineState_ = FAILED(hr) ? kEngineFailed : kEngineIdle;
  return hr;
}

std::optional<int64_t> CRecordingEngine::SongLengthMs(const std::string& path, int format) const {
  if (songFileTools_.lengthMs) return songFileTools_.lengthMs(path, format);
  if (format == kOutputFormatMp3) return platform::lame::Mp3DurationMs(path);
  if (format == kOutputFormatWma) return platform::asf::WmaDurationMs(path);
  return std::nullopt;
}

bool CRecordingEngine::MadeHere(const std::string& path, int format) const {
  if (songFileTools_.madeHere) return songFileTools_.madeHere(path, format);
  const std::u16string comment = SongComment();
  if (format == kOutputFormatMp3) return platform::id3::ReadComment(path) == comment;
  if (format == kOutputFormatWma) return platform::asf::WmaDescription(path) == comment;
  return false;
}

void CRecordingEngine::KeepLonger(const std::string& written, const std::string& final, int format) {
  // On the disk before it stands in for anything: after a power cut the
  // folder holds the old song or the whole new one.
  platform::files::SyncFile(written);
  // The song's name, then "Artist - Title (2)", "(3)", ...: a file the user
  // had, or one that cannot be measured, is never replaced, and the
  // recording goes on to the next name.
  const std::filesystem::path target(final);
  const std::u16string stem = platform::FromUtf8(target.stem().string());
  const std::u16string extension = platform::FromUtf8(target.extension().string());
  for (int n = 1; n < 1000; ++n) {
    const std::string name =
        n == 1 ? final
               : (target.parent_path() /
                  platform::ToUtf8(FitFileName(stem, u" (" + platform::FromUtf8(std::to_string(n)) + u")" + extension)))
                     .string();
    if (platform::files::RenameNoReplace(written, name)) {
      platform::files::SyncFolder(FolderOf(name));
      if (n > 1) {
        LogText(FormatText(LoadMessage(IDS_SONG_KEPT_BESIDE),
                           {platform::FromUtf8(target.filename().string()),
                            platform::FromUtf8(std::filesystem::path(name).filename().string())}));
      }
      return;
    }
    if (!platform::files::FileExists(name)) return;  // not a name clash: the folder refuses; kept as it is
    // Of two recordings made here the strictly longer keeps the name: a
    // station that repeats a song does not fill the folder with copies.
    const std::optional<int64_t> existing = MadeHere(name, format) ? SongLengthMs(name, format) : std::nullopt;
    if (!existing) continue;
    if (SongLengthMs(written, format).value_or(-1) <= *existing) {
      platform::files::RemoveFile(written);
    } else if (platform::files::MoveReplace(written, name)) {  // on failure both stay
      platform::files::SyncFolder(FolderOf(name));
    }
    return;
  }
  // Kept under its hidden name rather than lost.
}

void CRecordingEngine::WriteMarker() const {
  std::string bytes = kMarkerVersion;
  for (const std::string& field : {std::to_string(songFormat_), writePath_, platform::ToUtf8(songPath_),
                                   platform::ToUtf8(songArtist_), platform::ToUtf8(songTitle_)}) {
    bytes += field;
    bytes += '\0';
  }
  // Written beside and renamed over, so a crash never leaves half a marker.
  // It names the song, its artist and title: for the user's eyes only.
  const std::filesystem::path marker = SongMarkerPath();
  platform::files::CreatePrivateFolders(marker.parent_path());
  std::filesystem::path temp = marker;
  temp += ".new";
  platform::files::RemoveFile(temp);
  platform::files::OutputFile out;
  if (!out.CreateNew(temp, 0600) || !out.Write(bytes.data(), bytes.size()) || !out.Close() ||
      !platform::files::MoveReplace(temp, marker)) {
    platform::files::RemoveFile(temp);
  }
}

std::vector<SongRepair> CRecordingEngine::RepairInterruptedSongs() {
  std::vector<SongRepair> results;
  for (const auto& marker : OrphanedMarkers(!songFileStarted_)) {
    if (SongRepair result = RepairFromMarker(marker); result.found) results.push_back(std::move(result));
  }
  return results;
}

SongRepair CRecordingEngine::RepairInterruptedSong() {
  std::vector<SongRepair> results = RepairInterruptedSongs();
  return results.empty() ? SongRepair{} : std::move(results.front());
}

SongRepair CRecordingEngine::RepairFromMarker(const std::filesystem::path& markerPath) {
  SongRepair result;
  const std::optional<Marker> marker = ReadMarker(markerPath);
  if (!marker) return result;
  if (marker->format == 0 || !platform::files::FileExists(marker->written)) {
    platform::files::RemoveFile(markerPath);
    return result;
  }
  result.found = true;
  result.name = platform::FromUtf8(std::filesystem::path(marker->final).filename().string());
  const auto repair = [&] {
    if (songFileTools_.repair) return songFileTools_.repair(marker->written, marker->format);
    // With the audio the look-back still held when the run ended.
    return RepairSongWithJournal(marker->written, marker->format);
  };
  result.repaired = repair();
  if (result.repaired) {
    const auto lengthMs = SongLengthMs(marker->written, marker->format);
    const int minLength = GetProfileInt(kKeyMinSongLength, kDefaultMinSongLength);
    if (lengthMs && std::llround(*lengthMs / 1000.0) < minLength) {
      platform::files::RemoveFile(marker->written);
      result.tooShort = true;
    } else {
      if (marker->format == kOutputFormatMp3) {
        platform::id3::WriteSongTag(marker->written, marker->artist, marker->title, SongComment());
      }
      if (marker->written != marker->final) KeepLonger(marker->written, marker->final, marker->format);
    }
  }
  platform::files::RemoveFile(markerPath);
  return result;
}

std::u16string CRecordingEngine::SongPathFor(const std::u16string& artist, const std::u16string& title,
                                             int64_t nowMs) const {
  std::tm local{};
  const bool haveLocal = clock_->LocalTime(nowMs, local);
  const std::u16string base = SongBaseName(artist, title, haveLocal ? &local : nullptr);
  const int format = OutputFormat();
  const std::u16string extension = format == kOutputFormatMp3   ? u".mp3"
                                   : format == kOutputFormatWma ? u".wma"
                                                                : u"";
  return GetSongsFolder() + FitFileName(ReplaceReservedCharacters(base), extension);
}

HRESULT CRecordingEngine::SplitSong(const std::u16string& artist, const std::u16string& title,
                                    const std::u16string& sourceUrl) {
  const auto lookingBack = [this] {
    return delay_.active() && delayFeeding_.load(std::memory_order_relaxed) && engineState_ == kEngineRunning;
  };
  if (!lookingBack()) {
    if (engineState_ == kEngineRunning) FinishSong();
    return StartSong(artist, title, sourceUrl);
  }
  // The player playing the very file: refused now, as StartSong would.
  if (!sourceUrl.empty()) {
    const std::u16string path = SongPathFor(artist, title, clock_->NowMs());
    if (PlaysFile(sourceUrl, platform::ToUtf8(path))) {
      return SONG_ALREADY_RECORDED;
    }
  }
  if (pendingSong_) {
    PendingSong change{artist, title, sourceUrl, 0, delay_.written(), delay_.LimitForNextChange()};
    // The waiting split's boundary still lies ahead: this change waits its
    // turn, so that split is still made where its audio changes.
    if (!queuedSongs_.empty() || delay_.BoundaryAhead()) {
      queuedSongs_.push_back(std::move(change));
      // A flood of changes: the oldest waiting split is made now.
      if (queuedSongs_.size() > kMaxQueuedSongs) ResolveSplit(PendingLimit());
      return S_OK;
    }
    // An earlier change still waiting is split first, short of this one.
    ResolveSplit(change.limitBefore);
  }
  if (!lookingBack()) return StartSong(artist, title, sourceUrl);

  if (!splitWindow_ && owner_) {
    if (platform::Window* window = owner_->EngineWindow()) {
      splitWindow_ = std::make_unique<SplitWindow>(window->loop(), [this](uint32_t request) { OnSplitReady(request); });
      splitPost_.store(splitWindow_.get(), std::memory_order_release);
    }
  }
  pendingSong_ = PendingSong{artist, title, sourceUrl, delay_.RequestSplit()};
  // Without a window to be told, the split is decided on what is held now.
  if (!splitWindow_) ResolveSplit(UINT64_MAX);
  return S_OK;
}

void CRecordingEngine::OnSplitReady(uint32_t request) {
  if (pendingSong_ && pendingSong_->request == request) ResolveSplit(PendingLimit());
}

void CRecordingEngine::ResolveSplit(uint64_t limit) {
  PendingSong next = std::move(*pendingSong_);
  pendingSong_.reset();
  splitting_ = true;
  splitLimit_ = limit;
  FinishSong();
  const HRESULT started = StartSong(next.artist, next.title, next.sourceUrl);
  splitting_ = false;
  // No file took the audio past the split: it is not kept for a later one.
  if (FAILED(started) || !delayFeeding_.load(std::memory_order_relaxed)) delay_.Discard();
  if (queuedSongs_.empty()) return;
  PendingSong following = std::move(queuedSongs_.front());
  queuedSongs_.pop_front();
  if (SUCCEEDED(started) && delayFeeding_.load(std::memory_order_relaxed) && engineState_ == kEngineRunning) {
    // The next change's turn, from where it arrived.
    following.request = delay_.RequestSplit(following.arrival);
    pendingSong_ = std::move(following);
    if (!splitWindow_) ResolveSplit(PendingLimit());
  } else {
    // Nothing is being recorded to split: the latest title simply starts.
    if (!queuedSongs_.empty()) following = std::move(queuedSongs_.back());
    queuedSongs_.clear();
    StartSong(following.artist, following.title, following.sourceUrl);
  }
}

bool CRecordingEngine::WritesFailed() const {
  return encoder_.writeFailed() || (fileSink_ && fileSink_->WriteFailed());
}

void CRecordingEngine::ReportWriteFailure() {
  if (writeFailurePosted_.exchange(true, std::memory_order_relaxed) || !owner_) return;
  if (platform::Window* window = owner_->EngineWindow()) window->PostMessage(kSongWriteFailedMessage, 0, 0);
}

bool CRecordingEngine::SongFileFailed() const {
  if (!songFileStarted_ || engineState_ != kEngineRunning) return false;
  if (WritesFailed()) return true;
  // Writes into a file whose folder was removed succeed and vanish.
  const auto now = platform::files::IdentityOf(writePath_);
  if (!writeIdentity_) return false;
  return now != writeIdentity_;
}

int64_t CRecordingEngine::SilenceDuration() const {
  return NowSeconds() - lastSoundTime_.load(std::memory_order_relaxed);
}

HRESULT CRecordingEngine::SampleCB(double /*sampleTime*/, const uint8_t* data, size_t length) {
  if (!data) return E_POINTER;
  if (delayFeeding_.load(std::memory_order_acquire)) {
    // The song file gets the audio of a few seconds ago; the meter and the
    // silence clock below still read this buffer.
    const size_t frames = captureFormat_.blockAlign ? length / captureFormat_.blockAlign : 0;
    if (delay_.Process(data, frames, songSink_)) {
      if (SplitWindow* window = splitPost_.load(std::memory_order_acquire)) {
        window->PostMessage(kSplitReadyMessage, delay_.request(), 0);
      }
    }
  } else if (encodingActive_.load(std::memory_order_acquire)) {
    encoder_.EncodeSamples(data, static_cast<uint32_t>(length / 2));
  }
  if (WritesFailed()) ReportWriteFailure();
  const float level = static_cast<float>(PeakLevel(data, length)) * kLevelFactor;
  if (level > kSilenceThreshold) lastSoundTime_.store(NowSeconds(), std::memory_order_relaxed);
  if (owner_ && owner_->ShowRecLevel()) {
    if (platform::Window* window = owner_->EngineWindow()) {
      window->PostMessage(kLevelMessage, static_cast<uintptr_t>(level), 0);
    }
  }
  return S_OK;
}

}  // namespace orvweb
