#include "recorder/engine/recording_engine.h"

#include <algorithm>
#include <cmath>

#include "platform/files/files.h"
#include "platform/id3/id3_tag.h"
#include "platform/lame/lame.h"
#include "platform/text/utf.h"
#include "recorder/app/endpoints.h"
#include "recorder/app/messages.h"
#include "recorder/app/profile.h"
#include "recorder/app/settings.h"
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

}  // namespace

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
  fileSink_.reset();
  inputMixer_.reset();
  // Stops the capture thread before the encoder it feeds goes away.
  mediaControl_.reset();
}

int CRecordingEngine::OutputFormat() const {
  return GetOutputFormat([this] { return encoder_.isLoaded(); });
}

void CRecordingEngine::LogId(int id) {
  if (owner_ && owner_->EngineWindow()) owner_->WriteLogId(id);
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

  std::unique_ptr<platform::audio::CaptureStream> stream;
  hr = audio_->Connect(device, static_cast<uint32_t>(bufferSize), this, writer, stream);
  if (FAILED(hr)) return hr;
  if (!stream) return E_POINTER;
  captureFormat_ = stream->Format();
  fileSink_ = std::move(writer);
  mediaControl_ = std::move(stream);
  return hr;
}

HRESULT CRecordingEngine::RebuildGraph(int monitorOnly) {
  if (engineState_ == kEngineRunning) FinishSong();
  mediaControl_.reset();
  inputMixer_.reset();
  fileSink_.reset();
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
    songPath_ = GetSongsFolder() + FitFileName(ReplaceReservedCharacters(base), extension);
    const std::string path = platform::ToUtf8(songPath_);
    if (platform::files::FileExists(path) && SameFileReference(songPath_, sourceUrl)) return SONG_ALREADY_RECORDED;

    songStart_ = haveLocal ? ToOleDate(local, static_cast<int>(((nowMs % 1000) + 1000) % 1000)) : OleDate{0.0, false};
    songStartMs_ = nowMs;

    if (format == kOutputFormatMp3) {
      if (!encoder_.isLoaded()) return E_FAIL;
      BE_ERR opened = BE_ERR_SUCCESSFUL;
      try {
        opened = encoder_.OpenStream(captureFormat_, path);
      } catch (const Mp3EncoderError&) {
        return E_FAIL;
      }
      // A stream that did not open is never fed.
      if (opened != BE_ERR_SUCCESSFUL) return E_FAIL;
      encodingActive_.store(true, std::memory_order_release);
    } else if (format == kOutputFormatWma) {
      HRESULT hr = fileSink_->SetFileName(path);
      if (FAILED(hr)) return hr;
      hr = fileSink_->SetAttribute(u"Description", SongComment());
      if (SUCCEEDED(hr) && !artist.empty()) hr = fileSink_->SetAttribute(u"Author", artist);
      if (SUCCEEDED(hr) && !title.empty()) hr = fileSink_->SetAttribute(u"Title", title);
      if (FAILED(hr)) return hr;
    }
    songFileStarted_ = true;
    if (owner_) {
      if (platform::Window* window = owner_->EngineWindow()) {
        window->SetTimer(kLimitTimer, 3000);
        window->SetTimer(kRecordTimeTimer, 1000);
      }
    }
  }

  HRESULT hr = mediaControl_->Run();
  if (hr == S_FALSE) hr = mediaControl_->WaitRunning(kRunWaitMs);
  engineState_ = FAILED(hr) ? kEngineFailed : kEngineRunning;
  return hr;
}

HRESULT CRecordingEngine::FinishSong() {
  if (engineState_ == kEngineIdle) return S_OK;
  HRESULT hr = E_POINTER;
  if (mediaControl_) hr = mediaControl_->Stop();
  if (encodingActive_.load(std::memory_order_relaxed)) {
    // Only once the capture thread is stopped (or there is none).
    encoder_.CloseStream();
    encodingActive_.store(false, std::memory_order_relaxed);
  }
  if (engineState_ == kEngineRunning && !monitorOnly_ && songFileStarted_) {
    const std::string path = platform::ToUtf8(songPath_);
    const int64_t lengthSeconds = std::llround((clock_->NowMs() - songStartMs_) / 1000.0);
    const int minLength = GetProfileInt(kKeyMinSongLength, kDefaultMinSongLength);
    if (lengthSeconds < minLength) {
      platform::files::RemoveFile(path);
      LogId(IDS_SONG_TOO_SHORT);
    } else if (HasMp3Extension(songPath_)) {
      platform::id3::WriteSongTag(path, songArtist_, songTitle_, SongComment());
    }
  }
  songFileStarted_ = false;
  engineState_ = FAILED(hr) ? kEngineFailed : kEngineIdle;
  return hr;
}

int64_t CRecordingEngine::SilenceDuration() const {
  return NowSeconds() - lastSoundTime_.load(std::memory_order_relaxed);
}

HRESULT CRecordingEngine::SampleCB(double /*sampleTime*/, const uint8_t* data, size_t length) {
  if (!data) return E_POINTER;
  if (encodingActive_.load(std::memory_order_acquire)) {
    encoder_.EncodeSamples(data, static_cast<uint32_t>(length / 2));
  }
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
