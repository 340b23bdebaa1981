#include "platform/asf/fake_asf.h"

#include <fcntl.h>
#include <unistd.h>

namespace platform::asf {

HRESULT FakeWmaWriter::SetFileName(const std::string& utf8Path) {
  const HRESULT hr = setFileNameResult.load();
  if (FAILED(hr)) return hr;
  std::lock_guard lock(mutex_);
  fileName_ = utf8Path;
  return S_OK;
}

HRESULT FakeWmaWriter::SetAttribute(std::u16string_view name, std::u16string_view value) {
  std::lock_guard lock(mutex_);
  if (!failAttribute.empty() && name == failAttribute) return failAttributeResult;
  attributes_.emplace_back(name, value);
  return S_OK;
}

HRESULT FakeWmaWriter::Start(const audio::WaveFormat& format) {
  ++startCalls_;
  const HRESULT hr = startResult.load();
  if (FAILED(hr)) return hr;
  std::lock_guard lock(mutex_);
  startFormat_ = format;
  if (fileName_.empty()) return E_FAIL;
  fd_ = ::open(fileName_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) return E_FAIL;
  running_ = true;
  return S_OK;
}

// Runs on the capture thread; the file descriptor is only changed while no
// Write can run (Start before the stream runs, Stop after it stopped).
void FakeWmaWriter::Write(const uint8_t* data, size_t length) {
  if (!running_.load() || fd_ < 0) return;
  const ssize_t n = ::write(fd_, data, length);
  if (n > 0) bytesWritten_ += static_cast<uint64_t>(n);
}

HRESULT FakeWmaWriter::Stop() {
  ++stopCalls_;
  std::lock_guard lock(mutex_);
  running_ = false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  return stopResult.load();
}

std::string FakeWmaWriter::fileName() const {
  std::lock_guard lock(mutex_);
  return fileName_;
}

std::vector<std::pair<std::u16string, std::u16string>> FakeWmaWriter::attributes() const {
  std::lock_guard lock(mutex_);
  return attributes_;
}

audio::WaveFormat FakeWmaWriter::startFormat() const {
  std::lock_guard lock(mutex_);
  return startFormat_;
}

}  // namespace platform::asf
