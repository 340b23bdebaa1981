#include "platform/audio/fake_audio.h"

#include <utility>

namespace platform::audio {

// ---- FakeInputMixer ----

HRESULT FakeInputMixer::Enable(bool enable) {
  std::lock_guard lock(mutex_);
  ++enableCalls_;
  const HRESULT hr = enableResult.load();
  if (FAILED(hr)) return hr;
  enabled_ = enable ? 1 : 0;
  return S_OK;
}

HRESULT FakeInputMixer::GetMixLevel(double& level) {
  const HRESULT hr = getLevelResult.load();
  if (FAILED(hr)) return hr;
  std::lock_guard lock(mutex_);
  level = level_;
  return S_OK;
}

HRESULT FakeInputMixer::SetMixLevel(double level) {
  std::lock_guard lock(mutex_);
  setLevelCalls_.push_back(level);
  const HRESULT hr = setLevelResult.load();
  if (FAILED(hr)) return hr;
  level_ = level;
  return S_OK;
}

double FakeInputMixer::level() const {
  std::lock_guard lock(mutex_);
  return level_;
}

int FakeInputMixer::enabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

int FakeInputMixer::enableCalls() const {
  std::lock_guard lock(mutex_);
  return enableCalls_;
}

std::vector<double> FakeInputMixer::setLevelCalls() const {
  std::lock_guard lock(mutex_);
  return setLevelCalls_;
}

// ---- FakeCaptureDevice ----

FakeCaptureDevice::FakeCaptureDevice(DeviceInfo info, std::vector<PinInfo> pins)
    : info_(std::move(info)), pins_(std::move(pins)) {}

std::shared_ptr<FakeCaptureDevice> FakeCaptureDevice::Make(const std::string& displayName,
                                                           std::u16string friendlyName, size_t inputLines) {
  std::vector<PinInfo> pins{{PinDirection::Output, u"Capture"}};
  for (size_t i = 0; i < inputLines; ++i) {
    pins.push_back({PinDirection::Input, u"Line " + std::u16string(1, static_cast<char16_t>(u'1' + i))});
  }
  auto device = std::make_shared<FakeCaptureDevice>(DeviceInfo{displayName, std::move(friendlyName)}, pins);
  for (size_t i = 0; i < inputLines; ++i) device->SetMixer(i + 1, std::make_shared<FakeInputMixer>());
  return device;
}

std::shared_ptr<InputMixer> FakeCaptureDevice::Mixer(size_t pinIndex) {
  std::lock_guard lock(mutex_);
  auto it = mixers_.find(pinIndex);
  return it == mixers_.end() ? nullptr : it->second;
}

void FakeCaptureDevice::SetMixer(size_t pinIndex, std::shared_ptr<FakeInputMixer> mixer) {
  std::lock_guard lock(mutex_);
  if (mixer) {
    mixers_[pinIndex] = std::move(mixer);
  } else {
    mixers_.erase(pinIndex);
  }
}

std::shared_ptr<FakeInputMixer> FakeCaptureDevice::InputMixerAt(size_t inputIndex) const {
  size_t seen = 0;
  for (size_t i = 0; i < pins_.size(); ++i) {
    if (pins_[i].direction != PinDirection::Input) continue;
    if (seen++ == inputIndex) {
      std::lock_guard lock(mutex_);
      auto it = mixers_.find(i);
      return it == mixers_.end() ? nullptr : it->second;
    }
  }
  return nullptr;
}

// ---- the stream object and its state ----

// Declared a friend of FakeStreamState; the engine owns it, the test keeps
// the state.
class FakeCaptureStream : public CaptureStream {
 public:
  explicit FakeCaptureStream(std::shared_ptr<FakeStreamState> state) : state_(std::move(state)) {}
  ~FakeCaptureStream() override { state_->Destroy(); }
  WaveFormat Format() const override { return state_->format_; }
  HRESULT Run() override { return state_->Run(); }
  HRESULT WaitRunning(int timeoutMs) override { return state_->WaitRunning(timeoutMs); }
  HRESULT Stop() override { return state_->Stop(); }

 private:
  std::shared_ptr<FakeStreamState> state_;
};

bool FakeStreamState::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

HRESULT FakeStreamState::Run() {
  ++runCalls_;
  const HRESULT hr = runResult.load();
  if (FAILED(hr)) return hr;
  std::unique_lock lock(mutex_);
  if (running_) return hr;
  if (downstream_) {
    lock.unlock();
    const HRESULT started = downstream_->Start(format_);
    if (FAILED(started)) return started;
    lock.lock();
  }
  quit_ = false;
  running_ = true;
  thread_ = std::thread(&FakeStreamState::ThreadMain, this);
  return hr;
}

HRESULT FakeStreamState::WaitRunning(int timeoutMs) {
  ++waitCalls_;
  lastWaitTimeout_ = timeoutMs;
  return waitResult.load();
}

HRESULT FakeStreamState::Stop() {
  ++stopCalls_;
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    if (!running_) return stopResult.load();
    quit_ = true;
    thread = std::move(thread_);
  }
  wake_.notify_all();
  thread.join();
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    pending_ = nullptr;
  }
  wake_.notify_all();
  if (downstream_) downstream_->Stop();
  return stopResult.load();
}

void FakeStreamState::Destroy() {
  Stop();
  destroyed_ = true;
}

void FakeStreamState::ThreadMain() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return quit_ || pending_ != nullptr; });
    if (quit_) return;
    const uint8_t* data = pending_;
    const size_t length = pendingLength_;
    const double sampleTime =
        format_.avgBytesPerSec ? static_cast<double>(bytesSoFar_) / format_.avgBytesPerSec : 0.0;
    bytesSoFar_ += length;
    lock.unlock();
    tap_->SampleCB(sampleTime, data, length);
    ++tapCalls_;
    if (downstream_) downstream_->Write(data, length);
    lock.lock();
    pending_ = nullptr;
    ++done_;
    wake_.notify_all();
  }
}

bool FakeStreamState::Deliver(const uint8_t* data, size_t length) {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return !running_ || pending_ == nullptr; });
  if (!running_) return false;
  pending_ = data ? data : reinterpret_cast<const uint8_t*>("");
  pendingLength_ = data ? length : 0;
  const uint64_t ticket = ++delivered_;
  wake_.notify_all();
  wake_.wait(lock, [&] { return !running_ || done_ >= ticket; });
  return done_ >= ticket;
}

// ---- FakeAudioSystem ----

void FakeAudioSystem::AddDevice(std::shared_ptr<FakeCaptureDevice> device) {
  std::lock_guard lock(mutex_);
  devices_.push_back(std::move(device));
}

HRESULT FakeAudioSystem::EnumerateDevices(std::vector<DeviceInfo>& devices) {
  std::lock_guard lock(mutex_);
  devices.clear();
  for (const auto& d : devices_) devices.push_back(d->info());
  return S_OK;
}

HRESULT FakeAudioSystem::BindCaptureDevice(const std::string& displayName, std::shared_ptr<CaptureDevice>& device) {
  device.reset();
  const HRESULT hr = bindResult.load();
  if (FAILED(hr)) return hr;
  std::lock_guard lock(mutex_);
  for (const auto& d : devices_) {
    if (!displayName.empty() && d->info().displayName == displayName) {
      device = d;
      return S_OK;
    }
  }
  return E_FAIL;
}

HRESULT FakeAudioSystem::Connect(const std::shared_ptr<CaptureDevice>& device, uint32_t bufferBytes,
                                 SampleCallback* tap, std::shared_ptr<Downstream> downstream,
                                 std::unique_ptr<CaptureStream>& stream) {
  stream.reset();
  std::lock_guard lock(mutex_);
  ++connectCalls_;
  const HRESULT hr = connectResult.load();
  if (FAILED(hr)) return hr;
  if (!device || !tap) return E_POINTER;
  auto state = std::make_shared<FakeStreamState>();
  state->format_ = format;
  state->bufferBytes_ = bufferBytes;
  state->tap_ = tap;
  state->downstream_ = std::move(downstream);
  last_ = state;
  stream = std::make_unique<FakeCaptureStream>(std::move(state));
  return S_OK;
}

void FakeAudioSystem::SetLostHandler(std::function<void()> handler) {
  std::lock_guard lock(lostMutex_);
  lost_ = std::move(handler);
}

void FakeAudioSystem::LoseServer() {
  bindResult = E_FAIL;
  connectResult = E_FAIL;
  if (const auto stream = lastStream()) {
    stream->runResult = E_FAIL;
    stream->waitResult = E_FAIL;
  }
  std::thread([this] {
    std::lock_guard lock(lostMutex_);
    if (lost_) lost_();
  }).join();
}

void FakeAudioSystem::ServerBack() {
  bindResult = S_OK;
  connectResult = S_OK;
}

std::shared_ptr<FakeStreamState> FakeAudioSystem::lastStream() const {
  std::lock_guard lock(mutex_);
  return last_;
}

int FakeAudioSystem::connectCalls() const {
  std::lock_guard lock(mutex_);
  return connectCalls_;
}

WaveFormat MakePcmFormat(uint16_t channels, uint32_t samplesPerSec, uint16_t bitsPerSample) {
  WaveFormat f;
  f.channels = channels;
  f.samplesPerSec = samplesPerSec;
  f.bitsPerSample = bitsPerSample;
  f.blockAlign = static_cast<uint16_t>(channels * bitsPerSample / 8);
  f.avgBytesPerSec = samplesPerSec * f.blockAlign;
  return f;
}

}  // namespace platform::audio
