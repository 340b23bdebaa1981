// Capture block sizes against the buffer-size hint ("RecBufferSize"): for
// each hint, a tone is played into a private null sink and its monitor is
// captured through the tap for a few seconds. Every block is one level post
// of the engine, so blocks per second is also level posts per second.
// Figures are printed (blocks per second also as a ratio to hint 0, the
// sound server's own choice, measured in the same run); nothing is asserted.
// Bytes per second against the stream's nominal rate show what the server's
// monitor delivered: while a playback stream feeds the null sink, PulseAudio
// hands readers with a short latency less than the nominal rate (parec with
// the same latency gets the same figure).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bench_support.h"
#include "platform/audio/audio.h"

namespace {

using namespace platform;
using namespace platform::audio;
using Clock = std::chrono::steady_clock;

// Block sizes kept in memory reserved up front: the capture thread must not
// allocate.
class SizeTap final : public SampleCallback {
 public:
  explicit SizeTap(size_t capacity) : sizes_(capacity) {}
  HRESULT SampleCB(double, const uint8_t*, size_t length) override {
    const size_t n = count_.load(std::memory_order_relaxed);
    if (n < sizes_.size()) {
      sizes_[n] = length;
      count_.store(n + 1, std::memory_order_release);
    }
    return S_OK;
  }
  size_t count() const { return count_.load(std::memory_order_acquire); }
  std::vector<size_t> Sizes(size_t from, size_t to) const {
    return std::vector<size_t>(sizes_.begin() + from, sizes_.begin() + to);
  }

 private:
  std::vector<size_t> sizes_;
  std::atomic<size_t> count_{0};
};

struct Figures {
  uint32_t hint = 0;
  size_t blocks = 0;
  double seconds = 0;
  size_t minBytes = 0, medianBytes = 0, maxBytes = 0;
  double meanBytes = 0;
  uint32_t nominalBytesPerSec = 0;
  uint64_t bytes = 0;
};

}  // namespace

// Hints to measure may be given as arguments; 0, 4410 and 17640 by default.
int main(int argc, char** argv) {
  std::vector<uint32_t> hints = {0u, 4410u, 17640u};
  if (argc > 1) {
    hints.clear();
    for (int i = 1; i < argc; ++i) hints.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)));
  }
  const std::string sink = "orvweb_blocks_" + std::to_string(getpid());
  std::string module;
  if (bench::RunCommand(bench::ShellWords({"pactl", "load-module", "module-null-sink", "sink_name=" + sink,
                                           "sink_properties=device.description=" + sink}),
                        &module) != 0) {
    std::fprintf(stderr, "no sound server (PULSE_SERVER)\n");
    return 1;
  }
  module.erase(module.find_last_not_of(" \n") + 1);

  // A steady tone into the sink for the whole run.
  const pid_t player = fork();
  if (player == 0) {
    execlp("sh", "sh", "-c",
           ("sox -q -n -r 44100 -c 2 -b 16 -t raw - synth 120 sine 440 2>/dev/null | pacat --raw --rate=44100 "
            "--channels=2 --format=s16le -d " + sink)
               .c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }

  auto system = MakePulseAudioSystem();
  std::shared_ptr<CaptureDevice> device;
  for (int i = 0; i < 100 && FAILED(system->BindCaptureDevice(sink + ".monitor", device)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!device) {
    std::fprintf(stderr, "no monitor of %s\n", sink.c_str());
    return 1;
  }

  std::vector<Figures> results;
  for (const uint32_t hint : hints) {
    SizeTap tap(100000);
    std::unique_ptr<CaptureStream> stream;
    if (FAILED(system->Connect(device, hint, &tap, nullptr, stream))) {
      std::fprintf(stderr, "cannot capture with hint %u\n", hint);
      continue;
    }
    const uint32_t nominal = stream->Format().avgBytesPerSec;
    if (stream->Run() == S_FALSE) stream->WaitRunning(2000);
    // The first second settles the stream; the next three are measured.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const size_t first = tap.count();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const size_t last = tap.count();
    const auto t1 = Clock::now();
    stream->Stop();
    stream.reset();

    Figures f;
    f.hint = hint;
    f.blocks = last - first;
    f.nominalBytesPerSec = nominal;
    f.seconds = std::chrono::duration<double>(t1 - t0).count();
    auto sizes = tap.Sizes(first, last);
    if (!sizes.empty()) {
      std::sort(sizes.begin(), sizes.end());
      double sum = 0;
      for (size_t s : sizes) sum += static_cast<double>(s);
      f.bytes = static_cast<uint64_t>(sum);
      f.minBytes = sizes.front();
      f.medianBytes = sizes[sizes.size() / 2];
      f.maxBytes = sizes.back();
      f.meanBytes = sum / static_cast<double>(sizes.size());
    }
    results.push_back(f);
  }

  kill(player, SIGTERM);
  waitpid(player, nullptr, 0);
  bench::RunCommand(bench::ShellWords({"pactl", "unload-module", module}));

  double baseline = 0;
  std::printf("%-16s %12s %12s %28s %10s %16s\n", "RecBufferSize", "blocks/s", "vs hint 0",
              "block bytes min/median/max", "mean", "bytes/s (nominal)");
  for (const Figures& f : results) {
    const double rate = f.seconds > 0 ? static_cast<double>(f.blocks) / f.seconds : 0;
    if (f.hint == 0) baseline = rate;
    char sizes[64];
    std::snprintf(sizes, sizeof sizes, "%zu/%zu/%zu", f.minBytes, f.medianBytes, f.maxBytes);
    const double bytesPerSec = f.seconds > 0 ? static_cast<double>(f.bytes) / f.seconds : 0;
    std::printf("%-16u %12.1f %11.2fx %28s %10.0f %8.0f (%u)\n", f.hint, rate, baseline > 0 ? rate / baseline : 0.0,
                sizes, f.meanBytes, bytesPerSec, f.nominalBytesPerSec);
  }
  return 0;
}
