#pragma once
// Fakes for the engine tests: an encoder table that counts and can refuse,
// a clock the test sets, and an owner window on a FakeLoop.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/loop/fake_loop.h"
#include "recorder/engine/clock.h"
#include "recorder/engine/mp3_encoder.h"
#include "recorder/engine/recording_engine.h"

namespace engine_test {

// Encoder entry points that record every call. Each chunk of n values
// becomes n / 8 bytes of 0xAB; the flush writes 16 bytes of 0xCD.
struct FakeLame {
  uint32_t chunk = 2304;
  uint32_t bufferSize = 8640;
  orvweb::BE_ERR initResult = 0;
  // 1-based number of the encode call to refuse (0: none).
  int refuseEncodeCall = 0;
  orvweb::BE_ERR refuseResult = orvweb::BE_ERR_BUFFER_TOO_SMALL;

  mutable std::mutex mutex;
  std::vector<std::string> calls;  // "init", "encode", "deinit", "close", "header"
  std::vector<uint32_t> encodeCounts;
  std::vector<const int16_t*> encodePointers;
  std::vector<int16_t> firstValues;
  orvweb::BE_CONFIG lastConfig{};
  std::string headerPath;
  long fileSizeAtHeader = -1;
  std::atomic<int> encodeCalls{0};

  orvweb::Mp3EncoderTable Table() {
    orvweb::Mp3EncoderTable t;
    t.beInitStream = [this](const orvweb::BE_CONFIG& config, uint32_t& samples, uint32_t& size,
                            orvweb::HBE_STREAM& stream) {
      std::lock_guard lock(mutex);
      calls.push_back("init");
      lastConfig = config;
      samples = chunk;
      size = bufferSize;
      stream = initResult == 0 ? 42 : 0;
      return initResult;
    };
    t.beEncodeChunk = [this](orvweb::HBE_STREAM, uint32_t count, const int16_t* values, uint8_t* out,
                             uint32_t& bytes) -> orvweb::BE_ERR {
      std::lock_guard lock(mutex);
      calls.push_back("encode");
      encodeCounts.push_back(count);
      encodePointers.push_back(values);
      firstValues.push_back(count ? values[0] : 0);
      if (++encodeCalls == refuseEncodeCall) {
        bytes = 0;
        return refuseResult;
      }
      bytes = count / 8;
      std::memset(out, 0xAB, bytes);
      return 0;
    };
    t.beDeinitStream = [this](orvweb::HBE_STREAM, uint8_t* out, uint32_t& bytes) {
      std::lock_guard lock(mutex);
      calls.push_back("deinit");
      bytes = 16;
      std::memset(out, 0xCD, bytes);
      return orvweb::BE_ERR{0};
    };
    t.beCloseStream = [this](orvweb::HBE_STREAM) {
      std::lock_guard lock(mutex);
      calls.push_back("close");
      return orvweb::BE_ERR{0};
    };
    t.beVersion = [](orvweb::BE_VERSION& v) {
      v.byMajorVersion = 3;
      v.byMinorVersion = 100;
    };
    t.beWriteVBRHeader = [this](orvweb::HBE_STREAM, const std::string& path) {
      std::lock_guard lock(mutex);
      calls.push_back("header");
      headerPath = path;
      if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fseek(f, 0, SEEK_END);
        fileSizeAtHeader = std::ftell(f);
        std::fclose(f);
      }
      return orvweb::BE_ERR{0};
    };
    return t;
  }

  std::vector<std::string> Calls() const {
    std::lock_guard lock(mutex);
    return calls;
  }
  std::vector<uint32_t> EncodeCounts() const {
    std::lock_guard lock(mutex);
    return encodeCounts;
  }
};

// Time the test sets; "local" time is UTC so names are predictable.
class ManualClock : public orvweb::Clock {
 public:
  explicit ManualClock(int64_t ms = 0) : ms_(ms) {}
  int64_t NowMs() const override { return ms_.load(); }
  bool LocalTime(int64_t utcMs, std::tm& local) const override {
    const std::time_t seconds = static_cast<std::time_t>(utcMs / 1000);
    return ::gmtime_r(&seconds, &local) != nullptr;
  }
  void Set(int64_t ms) { ms_ = ms; }
  void Advance(int64_t ms) { ms_ += ms; }

 private:
  std::atomic<int64_t> ms_;
};

// 2005-03-05 14:30:15 UTC.
inline constexpr int64_t kMarch5th2005 = 1110033015000;

// The main window as the engine sees it.
class TestOwner : public platform::Window, public orvweb::IEngineOwner {
 public:
  explicit TestOwner(platform::FakeLoop& loop) : Window(loop) {}
  platform::Window* EngineWindow() override { return hasWindow ? this : nullptr; }
  bool ShowRecLevel() const override { return showRecLevel.load(); }
  void WriteLogId(int id) override { logged.push_back(id); }
  void WriteLogText(const std::u16string& text) override { texts.push_back(text); }

  std::atomic<bool> showRecLevel{true};
  bool hasWindow = true;
  std::vector<int> logged;
  std::vector<std::u16string> texts;
  std::vector<uintptr_t> levels;

 protected:
  void OnMessage(uint32_t msg, uintptr_t wParam, intptr_t) override {
    if (msg == orvweb::kLevelMessage) levels.push_back(wParam);
  }
};

}  // namespace engine_test
