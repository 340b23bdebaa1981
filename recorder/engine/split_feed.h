#pragma once
// The engine's side of the split look-back: where delayed PCM goes (the MP3
// encoder or the WMA writer), the small window that receives the capture
// thread's "a split can be decided" signal on the window thread, and the
// stand-in the capture stream drives instead of the WMA writer while the
// engine feeds that writer from the delay line itself.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/asf/asf.h"
#include "platform/loop/loop.h"
#include "recorder/engine/mp3_encoder.h"
#include "recorder/engine/split_search.h"

namespace orvweb {

// Posted to the split window by the capture thread; wParam = request number.
inline constexpr uint32_t kSplitReadyMessage = 0x0400 + 40;

// The wmav2 encoder's first block (2048 frames at 44.1 kHz) is consumed as
// priming and never decoded: the capture frames that make up one block.
size_t WmaPrimingFrames(uint32_t captureRate);

// Delayed PCM into the song's encoder: the MP3 stream or the WMA writer.
class SongSink final : public PcmSink {
 public:
  SongSink(CMp3Encoder& encoder, uint32_t channels) : encoder_(encoder), channels_(channels) {}
  void SetChannels(uint32_t channels) { channels_ = channels; }
  // nullptr: the MP3 encoder.
  void SetWriter(platform::asf::WmaWriter* writer) { writer_ = writer; }
  void WritePcm(const int16_t* values, size_t frames) override;

 private:
  CMp3Encoder& encoder_;
  uint32_t channels_;
  platform::asf::WmaWriter* writer_ = nullptr;
};

// Receives the ready signal on the loop's thread.
class SplitWindow final : public platform::Window {
 public:
  SplitWindow(platform::Loop& loop, std::function<void(uint32_t request)> onReady)
      : Window(loop), onReady_(std::move(onReady)) {}

 protected:
  void OnMessage(uint32_t msg, uintptr_t wParam, intptr_t) override {
    if (msg == kSplitReadyMessage) onReady_(static_cast<uint32_t>(wParam));
  }

 private:
  std::function<void(uint32_t)> onReady_;
};

// What the capture stream drives in place of the WMA writer. Passing
// through, it is the writer; holding, the engine starts, feeds (from the
// delay line) and stops the writer itself, so the stream's own calls do
// nothing.
class WriterStandIn final : public platform::audio::Downstream {
 public:
  explicit WriterStandIn(std::shared_ptr<platform::asf::WmaWriter> writer) : writer_(std::move(writer)) {}
  void SetPassThrough(bool passThrough) { passThrough_ = passThrough; }
  platform::HRESULT Start(const platform::audio::WaveFormat& format) override {
    return passThrough_ ? writer_->Start(format) : platform::S_OK;
  }
  void Write(const uint8_t* data, size_t length) override {
    if (passThrough_) writer_->Write(data, length);
  }
  platform::HRESULT Stop() override { return passThrough_ ? writer_->Stop() : platform::S_OK; }

 private:
  std::shared_ptr<platform::asf::WmaWriter> writer_;
  bool passThrough_ = true;
};

}  // namespace orvweb
