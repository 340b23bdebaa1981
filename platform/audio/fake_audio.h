#pragma once
// Capture fakes that tests drive: devices with pins and input-line mixers
// that record what is done to them, and a capture stream whose own thread
// hands the buffers a test delivers to the tap and then downstream, as the
// real capture thread does. Every operation can be told to fail.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/audio.h"

namespace platform::audio {

class FakeInputMixer : public InputMixer {
 public:
  explicit FakeInputMixer(double level = 0.5) : level_(level) {}

  HRESULT Enable(bool enable) override;
  HRESULT GetMixLevel(double& level) override;
  HRESULT SetMixLevel(double level) override;

  // Failure injection.
  std::atomic<HRESULT> enableResult{S_OK};
  std::atomic<HRESULT> getLevelResult{S_OK};
  std::atomic<HRESULT> setLevelResult{S_OK};

  double level() const;
  // -1 never switched, else 0 or 1 as last switched.
  int enabled() const;
  int enableCalls() const;
  std::vector<double> setLevelCalls() const;

 private:
  mutable std::mutex mutex_;
  double level_;
  int enabled_ = -1;
  int enableCalls_ = 0;
  std::vector<double> setLevelCalls_;
};

class FakeCaptureDevice : public CaptureDevice {
 public:
  FakeCaptureDevice(DeviceInfo info, std::vector<PinInfo> pins);
  // A device as the real adapter shows one: output pin "Capture" followed by
  // inputLines input pins, each with a mixer at level 0.5.
  static std::shared_ptr<FakeCaptureDevice> Make(const std::string& displayName, std::u16string friendlyName,
                                                 size_t inputLines);

  const DeviceInfo& info() const override { return info_; }
  std::vector<PinInfo> Pins() override { return pins_; }
  std::shared_ptr<InputMixer> Mixer(size_t pinIndex) override;

  // nullptr removes the pin's mixer.
  void SetMixer(size_t pinIndex, std::shared_ptr<FakeInputMixer> mixer);
  // The mixer of the n-th input pin (not of the n-th pin).
  std::shared_ptr<FakeInputMixer> InputMixerAt(size_t inputIndex) const;

 private:
  DeviceInfo info_;
  std::vector<PinInfo> pins_;
  mutable std::mutex mutex_;
  std::map<size_t, std::shared_ptr<FakeInputMixer>> mixers_;
};

// What a test sees of a connected stream; it outlives the stream object.
class FakeStreamState {
 public:
  // Hands one buffer to the stream's capture thread and waits until the tap
  // and the downstream have had it. False when the stream is not running.
  bool Deliver(const uint8_t* data, size_t length);
  bool Deliver(const std::vector<int16_t>& samples) {
    return Deliver(reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * sizeof(int16_t));
  }

  bool running() const;
  int runCalls() const { return runCalls_.load(); }
  int stopCalls() const { return stopCalls_.load(); }
  int waitCalls() const { return waitCalls_.load(); }
  int lastWaitTimeoutMs() const { return lastWaitTimeout_.load(); }
  uint64_t tapCalls() const { return tapCalls_.load(); }
  bool destroyed() const { return destroyed_.load(); }
  uint32_t bufferBytes() const { return bufferBytes_; }
  WaveFormat format() const { return format_; }
  SampleCallback* tap() const { return tap_; }
  const std::shared_ptr<Downstream>& downstream() const { return downstream_; }

  // Failure injection and start behaviour: Run returns runResult (S_FALSE
  // means "still starting", then WaitRunning returns waitResult).
  std::atomic<HRESULT> runResult{S_OK};
  std::atomic<HRESULT> waitResult{S_OK};
  std::atomic<HRESULT> stopResult{S_OK};

 private:
  friend class FakeCaptureStream;
  friend class FakeAudioSystem;

  HRESULT Run();
  HRESULT WaitRunning(int timeoutMs);
  HRESULT Stop();
  void Destroy();
  void ThreadMain();

  WaveFormat format_;
  uint32_t bufferBytes_ = 0;
  SampleCallback* tap_ = nullptr;
  std::shared_ptr<Downstream> downstream_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  bool running_ = false;
  bool quit_ = false;
  const uint8_t* pending_ = nullptr;
  size_t pendingLength_ = 0;
  uint64_t delivered_ = 0;  // buffers handed over so far
  uint64_t done_ = 0;       // buffers the thread has finished
  uint64_t bytesSoFar_ = 0;

  std::atomic<int> runCalls_{0};
  std::atomic<int> stopCalls_{0};
  std::atomic<int> waitCalls_{0};
  std::atomic<int> lastWaitTimeout_{0};
  std::atomic<uint64_t> tapCalls_{0};
  std::atomic<bool> destroyed_{false};
};

class FakeAudioSystem : public AudioSystem {
 public:
  void AddDevice(std::shared_ptr<FakeCaptureDevice> device);

  HRESULT EnumerateDevices(std::vector<DeviceInfo>& devices) override;
  HRESULT BindCaptureDevice(const std::string& displayName, std::shared_ptr<CaptureDevice>& device) override;
  HRESULT Connect(const std::shared_ptr<CaptureDevice>& device, uint32_t bufferBytes, SampleCallback* tap,
                  std::shared_ptr<Downstream> downstream, std::unique_ptr<CaptureStream>& stream) override;
  void SetLostHandler(std::function<void()> handler) override;

  // The sound server goes away: the last stream can no longer run, binding
  // and connecting fail, and the lost handler is told (on a thread of its
  // own, as the capture thread would). ServerBack lets building succeed.
  void LoseServer();
  void ServerBack();

  // The format the next connected stream reports (44.1 kHz 16-bit stereo).
  WaveFormat format{1, 2, 44100, 176400, 4, 16, 0};
  std::atomic<HRESULT> bindResult{S_OK};
  std::atomic<HRESULT> connectResult{S_OK};

  // The most recently connected stream; nullptr before the first.
  std::shared_ptr<FakeStreamState> lastStream() const;
  int connectCalls() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakeCaptureDevice>> devices_;
  std::shared_ptr<FakeStreamState> last_;
  int connectCalls_ = 0;
  std::mutex lostMutex_;
  std::function<void()> lost_;
};

// 16-bit PCM helpers for tests.
WaveFormat MakePcmFormat(uint16_t channels, uint32_t samplesPerSec, uint16_t bitsPerSample = 16);

}  // namespace platform::audio
