#pragma once
// Audio capture in the shape the recording engine needs: capture devices
// chosen by a stored identifier, their pins and input-line mixers, and a
// capture stream that hands every buffer to a tap on the capture thread.
//
// Real adapter (PulseAudio): a device is a source (display name = source
// name, friendly name = description; monitors included). Its pins are one
// output pin "Capture" followed by one input pin per source port (a source
// without ports has one input pin); enabling an input pin makes that port
// active; the mix level is the source volume 0.0-1.0. The captured format is
// signed 16-bit little-endian at the source's rate and channel count (at
// most 2). The PulseAudio mainloop thread is the capture thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/hresult.h"

namespace platform::audio {

// The 18-byte format record of the connected stream.
struct WaveFormat {
  uint16_t formatTag = 1;  // PCM
  uint16_t channels = 0;
  uint32_t samplesPerSec = 0;
  uint32_t avgBytesPerSec = 0;
  uint16_t blockAlign = 0;
  uint16_t bitsPerSample = 0;
  uint16_t extraSize = 0;
};

enum class PinDirection { Input, Output };

struct PinInfo {
  PinDirection direction;
  std::u16string name;
};

struct DeviceInfo {
  std::string displayName;      // stable identifier, stored as "SourceName"
  std::u16string friendlyName;  // shown to the user
};

// The mixer of one input line.
class InputMixer {
 public:
  virtual ~InputMixer() = default;
  virtual HRESULT Enable(bool enable) = 0;
  virtual HRESULT GetMixLevel(double& level) = 0;  // 0.0-1.0
  virtual HRESULT SetMixLevel(double level) = 0;
};

class CaptureDevice {
 public:
  virtual ~CaptureDevice() = default;
  virtual const DeviceInfo& info() const = 0;
  // All pins in enumeration order.
  virtual std::vector<PinInfo> Pins() = 0;
  // The mixer of the pin at position pinIndex of that order; nullptr when
  // the pin has none (output pins never do).
  virtual std::shared_ptr<InputMixer> Mixer(size_t pinIndex) = 0;
};

// The tap: called on the capture thread for every captured buffer, which is
// valid only during the call. It must not block or allocate.
class SampleCallback {
 public:
  virtual HRESULT SampleCB(double sampleTime, const uint8_t* data, size_t length) = 0;

 protected:
  ~SampleCallback() = default;
};

// A consumer downstream of the tap (the WMA writer). Start runs on the main
// thread when the stream runs; Write on the capture thread right after the
// tap; Stop on the main thread once no Write can run any more.
class Downstream {
 public:
  virtual ~Downstream() = default;
  virtual HRESULT Start(const WaveFormat& format) = 0;
  virtual void Write(const uint8_t* data, size_t length) = 0;
  virtual HRESULT Stop() = 0;
};

// The connected chain device -> tap -> downstream (or nothing).
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;  // stops first
  virtual WaveFormat Format() const = 0;
  // S_OK when running, S_FALSE when the start is still under way.
  virtual HRESULT Run() = 0;
  // Waits up to timeoutMs for a started stream to run.
  virtual HRESULT WaitRunning(int timeoutMs) = 0;
  // Returns only when no tap call can happen any more; stops the downstream.
  virtual HRESULT Stop() = 0;
};

class AudioSystem {
 public:
  virtual ~AudioSystem() = default;
  virtual HRESULT EnumerateDevices(std::vector<DeviceInfo>& devices) = 0;
  // Fails for an empty name or one that names no device.
  virtual HRESULT BindCaptureDevice(const std::string& displayName, std::shared_ptr<CaptureDevice>& device) = 0;
  // Connects the device's capture output through the tap to downstream
  // (nullptr: nothing after the tap). bufferBytes is the capture buffer size
  // hint. The stream is stopped when returned.
  virtual HRESULT Connect(const std::shared_ptr<CaptureDevice>& device, uint32_t bufferBytes, SampleCallback* tap,
                          std::shared_ptr<Downstream> downstream, std::unique_ptr<CaptureStream>& stream) = 0;
  // Told once per loss when capture through this system ended without a
  // Stop: the sound server went away (quit, crashed, restarted) or dropped
  // the stream. Nothing is captured after that until the chain is built
  // again, which succeeds once the server is back. Called on the capture
  // thread: it must only hand the news on (post it). An empty handler clears
  // it; once this returns, the handler replaced is never called again.
  virtual void SetLostHandler(std::function<void()> handler) = 0;
};

// The real adapter over libpulse (PulseAudio or pipewire-pulse).
std::unique_ptr<AudioSystem> MakePulseAudioSystem();

}  // namespace platform::audio
