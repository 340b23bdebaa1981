#pragma once
// A WMA writer for tests: it records the file name and attributes it is
// given, writes the raw bytes it is fed into that file (so the file exists
// while a song runs, as with the real writer) and can be told to fail.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/asf/asf.h"

namespace platform::asf {

class FakeWmaWriter : public WmaWriter {
 public:
  HRESULT SetFileName(const std::string& utf8Path) override;
  HRESULT SetAttribute(std::u16string_view name, std::u16string_view value) override;
  HRESULT Start(const audio::WaveFormat& format) override;
  void Write(const uint8_t* data, size_t length) override;
  HRESULT Stop() override;

  // Failure injection: the next calls return these results.
  std::atomic<HRESULT> setFileNameResult{S_OK};
  std::atomic<HRESULT> startResult{S_OK};
  std::atomic<HRESULT> stopResult{S_OK};
  // SetAttribute fails with failAttributeResult for the attribute of this name.
  std::u16string failAttribute;
  HRESULT failAttributeResult = E_FAIL;

  std::string fileName() const;
  std::vector<std::pair<std::u16string, std::u16string>> attributes() const;
  bool running() const { return running_.load(); }
  int startCalls() const { return startCalls_.load(); }
  int stopCalls() const { return stopCalls_.load(); }
  uint64_t bytesWritten() const { return bytesWritten_.load(); }
  audio::WaveFormat startFormat() const;

 private:
  mutable std::mutex mutex_;
  std::string fileName_;
  std::vector<std::pair<std::u16string, std::u16string>> attributes_;
  audio::WaveFormat startFormat_;
  int fd_ = -1;
  std::atomic<bool> running_{false};
  std::atomic<int> startCalls_{0};
  std::atomic<int> stopCalls_{0};
  std::atomic<uint64_t> bytesWritten_{0};
};

}  // namespace platform::asf
