// Figures of the capture path against the running sound server (PULSE_SERVER,
// e.g. inside scripts/rig):
//  - audio lost at a song split: a counting signal is played into a private
//    null sink and captured through the tap while the stream is stopped and
//    run again, with the WMA writer finishing one file and starting the next
//    in between; the gap in the count is the audio lost;
//  - how long Stop and Run take on the calling thread;
//  - resident memory of the process while it records to WMA.
// Prints figures; asserts nothing.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bench_support.h"
#include "platform/asf/asf.h"
#include "platform/audio/audio.h"

namespace {

using namespace platform;
using namespace platform::audio;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Keeps the left channel of every delivery in memory reserved up front.
class CountingTap final : public SampleCallback {
 public:
  explicit CountingTap(size_t frames) : left_(frames) {}
  HRESULT SampleCB(double, const uint8_t* data, size_t length) override {
    for (size_t i = 0; i + 3 < length && used_ < left_.size(); i += 4) {
      int16_t v;
      std::memcpy(&v, data + i, 2);
      left_[used_++] = v;
    }
    frames_.store(used_);
    return S_OK;
  }
  size_t frames() const { return frames_.load(); }
  int16_t at(size_t i) const { return left_[i]; }

 private:
  std::vector<int16_t> left_;
  size_t used_ = 0;
  std::atomic<size_t> frames_{0};
};

}  // namespace

int main() {
  const auto dir = std::filesystem::temp_directory_path() / ("orvweb-capture-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string sink = "orvweb_bench_" + std::to_string(getpid());
  std::string module;
  if (bench::RunCommand(bench::ShellWords({"pactl", "load-module", "module-null-sink", "sink_name=" + sink,
               "sink_properties=device.description=" + sink}),
              &module) != 0) {
    std::fprintf(stderr, "no sound server (PULSE_SERVER)\n");
    return 1;
  }
  module.erase(module.find_last_not_of(" \n") + 1);

  // A counting signal: each frame one more than the last (mod 2^16). The
  // null sink at the same format passes it through unchanged.
  const int rate = 44100;
  const int seconds = 20;
  const auto wav = dir / "count.wav";
  {
    std::ofstream out(wav, std::ios::binary);
    const uint32_t bytes = rate * seconds * 4;
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4), u32(36 + bytes), out.write("WAVEfmt ", 8), u32(16), u16(1), u16(2), u32(rate),
        u32(rate * 4), u16(4), u16(16), out.write("data", 4), u32(bytes);
    for (int i = 0; i < rate * seconds; ++i) {
      const auto v = static_cast<int16_t>(static_cast<uint16_t>(i));
      out.write(reinterpret_cast<const char*>(&v), 2);
      out.write(reinterpret_cast<const char*>(&v), 2);
    }
  }

  auto system = MakePulseAudioSystem();
  std::shared_ptr<CaptureDevice> device;
  for (int i = 0; i < 100 && FAILED(system->BindCaptureDevice(sink + ".monitor", device)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  auto writer = asf::MakeFfmpegWmaWriter();
  CountingTap tap(static_cast<size_t>(rate) * (seconds + 5));
  std::unique_ptr<CaptureStream> stream;
  if (!device || FAILED(system->Connect(device, 10000, &tap, writer, stream))) {
    std::fprintf(stderr, "cannot capture from %s.monitor\n", sink.c_str());
    return 1;
  }
  if (stream->Format().samplesPerSec != static_cast<uint32_t>(rate)) {
    std::fprintf(stderr, "the sink runs at %u Hz; the count needs %d Hz\n", stream->Format().samplesPerSec, rate);
  }

  int song = 0;
  auto nextSong = [&] {
    writer->SetFileName((dir / ("song" + std::to_string(song++) + ".wma")).string());
    writer->SetAttribute(u"Title", u"Bench");
  };
  nextSong();
  if (stream->Run() == S_FALSE) stream->WaitRunning(2000);

  const pid_t player = fork();
  if (player == 0) {
    execlp("paplay", "paplay", "-d", sink.c_str(), wav.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait for the count to arrive.
  auto heard = [&] {
    const size_t n = tap.frames();
    return n > 100 && tap.at(n - 1) != 0;
  };
  for (int i = 0; i < 400 && !heard(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));

  std::vector<double> lostMs, stopMs, runMs;
  for (int split = 0; split < 8; ++split) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto t0 = Clock::now();
    stream->Stop();  // finishes the WMA file
    const auto t1 = Clock::now();
    const size_t boundary = tap.frames();
    nextSong();
    const auto t2 = Clock::now();
    HRESULT hr = stream->Run();  // starts the next file
    if (hr == S_FALSE) hr = stream->WaitRunning(2000);
    const auto t3 = Clock::now();
    stopMs.push_back(Ms(t1 - t0));
    runMs.push_back(Ms(t3 - t2));
    for (int i = 0; i < 200 && tap.frames() <= boundary; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (boundary == 0 || tap.frames() <= boundary) continue;
    const auto before = static_cast<uint16_t>(tap.at(boundary - 1));
    const auto after = static_cast<uint16_t>(tap.at(boundary));
    const uint16_t missing = static_cast<uint16_t>(after - before - 1);
    lostMs.push_back(missing * 1000.0 / rate);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const bench::Resident memory;
  stream->Stop();
  kill(player, SIGKILL);
  waitpid(player, nullptr, 0);
  stream.reset();
  bench::RunCommand(bench::ShellWords({"pactl", "unload-module", module}));
  std::filesystem::remove_all(dir);

  bench::ReportSplits("(c) audio lost at a song split", lostMs);
  bench::ReportSplits("    Stop (finishing the WMA file)", stopMs);
  bench::ReportSplits("    Run (starting the next file)", runMs);
  bench::ReportResidentMemory(memory);
  return 0;
}
