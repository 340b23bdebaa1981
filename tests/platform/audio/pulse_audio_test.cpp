// The libpulse capture adapter against real sound servers: the rig's
// PulseAudio and its PipeWire (pipewire-pulse), every case against both.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/asf/asf.h"
#include "platform/audio/audio.h"
#include "test_support.h"
#include "tests/platform/asf/media_tools.h"

namespace {

using namespace platform;
using namespace platform::audio;
using testing_support::Child;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::WaitUntil;

enum class Server { PulseAudio, PipeWire };

const char* AddressVariable(Server s) {
  return s == Server::PulseAudio ? "PULSE_SERVER" : "ORVWEB_PIPEWIRE_PULSE_SERVER";
}

using media_tools::ScopedNullSink;

// Records what the capture thread hands over into memory reserved up front.
class RecordingTap final : public SampleCallback {
 public:
  explicit RecordingTap(size_t capacityBytes) : pcm_(capacityBytes) {}

  HRESULT SampleCB(double, const uint8_t* data, size_t length) override {
    if (pthread_equal(pthread_self(), main_)) onMainThread_ = true;
    const size_t n = std::min(length, pcm_.size() - used_);
    if (n) std::memcpy(pcm_.data() + used_, data, n);
    used_ += n;
    int peak = 0;
    for (size_t i = 0; i + 1 < length; i += 2) {
      int16_t v;
      std::memcpy(&v, data + i, 2);
      peak = std::max(peak, std::abs(int{v}));
    }
    if (peak > 4000) loudBytes_ += length;
    bytes_ += length;
    ++calls_;
    return S_OK;
  }

  // Only while the stream is stopped.
  std::vector<int16_t> Samples() const {
    std::vector<int16_t> s(used_ / 2);
    std::memcpy(s.data(), pcm_.data(), s.size() * 2);
    return s;
  }

  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint64_t> loudBytes_{0};
  std::atomic<uint64_t> calls_{0};
  std::atomic<bool> onMainThread_{false};

 private:
  const pthread_t main_ = pthread_self();
  std::vector<uint8_t> pcm_;
  size_t used_ = 0;  // capture thread only while running
};

HRESULT RunAndWait(CaptureStream& stream) {
  HRESULT hr = stream.Run();
  if (hr == S_FALSE) hr = stream.WaitRunning(2000);
  return hr;
}

std::filesystem::path ToneFile(const TempDir& dir, double seconds) {
  const auto file = dir.path() / "tone.wav";
  media_tools::WriteWav(file, media_tools::Tone(44100, 2, seconds, 1000.0, 0.5), 44100, 2);
  return file;
}

class Capture : public ::testing::TestWithParam<Server> {
 protected:
  void SetUp() override {
    const char* address = std::getenv(AddressVariable(GetParam()));
    ASSERT_TRUE(address && *address) << AddressVariable(GetParam())
                                     << " is not set: run the tests inside scripts/rig";
    server_.emplace("PULSE_SERVER", address);
    system_ = MakePulseAudioSystem();
  }

  std::string UniqueSinkName(const char* what) const {
    return std::string("orvweb_") + what + "_" + std::to_string(getpid());
  }

  std::shared_ptr<CaptureDevice> Bind(const std::string& name) {
    std::shared_ptr<CaptureDevice> device;
    // A sink just loaded shows its monitor a moment later.
    WaitUntil([&] { return SUCCEEDED(system_->BindCaptureDevice(name, device)); }, 5000);
    return device;
  }

  std::optional<ScopedEnv> server_;
  std::unique_ptr<AudioSystem> system_;
};

TEST_P(Capture, ListsTheSinkMonitorWithItsDescriptionAndPins) {
  std::vector<DeviceInfo> devices;
  ASSERT_EQ(system_->EnumerateDevices(devices), S_OK);
  const auto monitor = std::find_if(devices.begin(), devices.end(),
                                    [](const DeviceInfo& d) { return d.displayName == "rec_sink.monitor"; });
  ASSERT_NE(monitor, devices.end());
  EXPECT_EQ(monitor->friendlyName, u"Monitor of RecSink");

  std::shared_ptr<CaptureDevice> device;
  ASSERT_EQ(system_->BindCaptureDevice("rec_sink.monitor", device), S_OK);
  EXPECT_EQ(device->info().friendlyName, u"Monitor of RecSink");
  const auto pins = device->Pins();
  ASSERT_GE(pins.size(), 2u);
  EXPECT_EQ(pins[0].direction, PinDirection::Output);
  EXPECT_EQ(pins[0].name, u"Capture");
  for (size_t i = 1; i < pins.size(); ++i) {
    EXPECT_EQ(pins[i].direction, PinDirection::Input);
    ASSERT_NE(device->Mixer(i), nullptr);
    EXPECT_EQ(device->Mixer(i)->Enable(true), S_OK);
  }
  EXPECT_EQ(device->Mixer(0), nullptr);
  EXPECT_EQ(device->Mixer(pins.size()), nullptr);

  EXPECT_TRUE(FAILED(system_->BindCaptureDevice("", device)));
  EXPECT_TRUE(FAILED(system_->BindCaptureDevice("no_such_source.monitor", device)));
  EXPECT_EQ(device, nullptr);
}

TEST_P(Capture, MixLevelIsTheSourceVolumeClamped) {
  ScopedNullSink sink(UniqueSinkName("mix"));
  ASSERT_TRUE(sink.loaded());
  auto device = Bind(sink.monitor());
  ASSERT_NE(device, nullptr);
  auto mixer = device->Mixer(1);
  ASSERT_NE(mixer, nullptr);

  const struct {
    double set;
    double expected;
    const char* pactlShows;
  } cases[] = {{0.5, 0.5, "50%"}, {1.7, 1.0, "100%"}, {-0.3, 0.0, "0%"}, {0.25, 0.25, "25%"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.set);
    ASSERT_EQ(mixer->SetMixLevel(c.set), S_OK);
    double level = -1;
    ASSERT_EQ(mixer->GetMixLevel(level), S_OK);
    EXPECT_NEAR(level, c.expected, 0.005);
    const auto shown = media_tools::Run({"/usr/bin/pactl", "get-source-volume", sink.monitor()});
    EXPECT_NE(shown.out.find(std::string(" ") + c.pactlShows), std::string::npos) << shown.out;
  }
}

TEST_P(Capture, HandsAToneToTheTapOnTheCaptureThreadUntilStopped) {
  ScopedNullSink sink(UniqueSinkName("tone"));
  ASSERT_TRUE(sink.loaded());
  auto device = Bind(sink.monitor());
  ASSERT_NE(device, nullptr);
  RecordingTap tap(8u << 20);
  std::unique_ptr<CaptureStream> stream;
  ASSERT_EQ(system_->Connect(device, 4096, &tap, nullptr, stream), S_OK);
  const WaveFormat format = stream->Format();
  EXPECT_EQ(format.formatTag, 1);
  EXPECT_EQ(format.bitsPerSample, 16);
  EXPECT_EQ(format.channels, 2);
  EXPECT_GE(format.samplesPerSec, 44100u);
  EXPECT_EQ(format.blockAlign, 4);
  EXPECT_EQ(format.avgBytesPerSec, format.samplesPerSec * 4);
  EXPECT_EQ(tap.calls_, 0u);  // connected stopped

  ASSERT_EQ(RunAndWait(*stream), S_OK);
  TempDir dir;
  Child player({"/usr/bin/paplay", "-d", sink.name(), ToneFile(dir, 4.0).string()});
  ASSERT_TRUE(WaitUntil([&] { return tap.loudBytes_ >= format.avgBytesPerSec; }, 15000))
      << "no tone heard; captured bytes: " << tap.bytes_;
  ASSERT_EQ(stream->Stop(), S_OK);
  const uint64_t callsAtStop = tap.calls_;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(tap.calls_, callsAtStop) << "the tap was called after Stop returned";
  EXPECT_FALSE(tap.onMainThread_);

  // The loud part is the tone: its level and pitch.
  const auto samples = tap.Samples();
  std::vector<int16_t> left;
  for (size_t i = 0; i + 1 < samples.size(); i += 2) {
    if (std::abs(int{samples[i]}) > 0 || !left.empty()) left.push_back(samples[i]);
  }
  ASSERT_GT(left.size(), format.samplesPerSec / 2);
  const size_t from = left.size() / 4, to = left.size() * 3 / 4;
  int peak = 0, crossings = 0;
  for (size_t i = from + 1; i < to; ++i) {
    peak = std::max(peak, std::abs(int{left[i]}));
    crossings += left[i - 1] < 0 && left[i] >= 0;
  }
  EXPECT_NEAR(peak, 16384, 1500);
  EXPECT_NEAR(crossings * static_cast<double>(format.samplesPerSec) / (to - from), 1000.0, 30.0);

  // Quick stops and runs, as at song splits, keep delivering.
  for (int i = 0; i < 3; ++i) {
    const uint64_t before = tap.bytes_;
    ASSERT_EQ(stream->Stop(), S_OK);
    ASSERT_EQ(RunAndWait(*stream), S_OK);
    EXPECT_TRUE(WaitUntil([&] { return tap.bytes_ > before + format.avgBytesPerSec / 10; }, 5000));
  }
  ASSERT_EQ(stream->Stop(), S_OK);

  // A source that went away fails the next run instead of capturing another.
  sink.Unload();
  EXPECT_TRUE(WaitUntil(
      [&] {
        const HRESULT hr = stream->Run();
        stream->Stop();
        return FAILED(hr);
      },
      5000));
}

TEST_P(Capture, WritesTheCapturedToneAsWma) {
  ScopedNullSink sink(UniqueSinkName("wma"));
  ASSERT_TRUE(sink.loaded());
  auto device = Bind(sink.monitor());
  ASSERT_NE(device, nullptr);
  TempDir dir;
  const auto file = dir.path() / u8"Ärtist – Tïtle ♫.wma";
  auto writer = asf::MakeFfmpegWmaWriter();
  ASSERT_EQ(writer->SetFileName(reinterpret_cast<const char*>(file.u8string().c_str())), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Description", u"Recorded by the capture test"), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Author", u"Ärtist"), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Title", u"Tïtle ♫"), S_OK);
  RecordingTap tap(0);
  std::unique_ptr<CaptureStream> stream;
  ASSERT_EQ(system_->Connect(device, 10000, &tap, writer, stream), S_OK);
  const WaveFormat format = stream->Format();

  ASSERT_EQ(RunAndWait(*stream), S_OK);
  Child player({"/usr/bin/paplay", "-d", sink.name(), ToneFile(dir, 4.0).string()});
  ASSERT_TRUE(WaitUntil([&] { return tap.loudBytes_ >= format.avgBytesPerSec * 3 / 2; }, 15000));
  ASSERT_EQ(stream->Stop(), S_OK);
  const double captured = static_cast<double>(tap.bytes_) / format.avgBytesPerSec;

  auto p = media_tools::Probe(file);
  EXPECT_EQ(p["codec_name"], "wmav2");
  EXPECT_EQ(p["sample_rate"], "44100");
  EXPECT_EQ(p["channels"], "2");
  EXPECT_NEAR(std::atof(p["duration"].c_str()), captured, 0.15);
  EXPECT_EQ(p["TAG:title"], "Tïtle ♫");
  EXPECT_EQ(p["TAG:artist"], "Ärtist");
  EXPECT_EQ(p["TAG:comment"], "Recorded by the capture test");
  std::string errors;
  EXPECT_TRUE(media_tools::DecodesCleanly(file, &errors)) << errors;
}

// Keeps the length of every block in memory reserved up front.
class BlockSizeTap final : public SampleCallback {
 public:
  HRESULT SampleCB(double, const uint8_t*, size_t length) override {
    const size_t n = count_.load(std::memory_order_relaxed);
    if (n < sizes_.size()) sizes_[n] = length;
    count_.store(n + 1, std::memory_order_release);
    return S_OK;
  }
  size_t count() const { return count_.load(std::memory_order_acquire); }
  // Only while the stream is stopped.
  std::vector<size_t> sizes() const {
    return std::vector<size_t>(sizes_.begin(), sizes_.begin() + std::min(count(), sizes_.size()));
  }

 private:
  std::vector<size_t> sizes_ = std::vector<size_t>(100000);
  std::atomic<size_t> count_{0};
};

TEST_P(Capture, BlocksComeAtTheHintedSize) {
  ScopedNullSink sink(UniqueSinkName("blocks"));
  ASSERT_TRUE(sink.loaded());
  auto device = Bind(sink.monitor());
  ASSERT_NE(device, nullptr);
  TempDir dir;
  Child player({"/usr/bin/paplay", "-d", sink.name(), ToneFile(dir, 30.0).string()});
  for (const uint32_t hint : {4410u, 17640u, 100u}) {
    SCOPED_TRACE(hint);
    BlockSizeTap tap;
    std::unique_ptr<CaptureStream> stream;
    ASSERT_EQ(system_->Connect(device, hint, &tap, nullptr, stream), S_OK);
    const uint32_t block = hint / stream->Format().blockAlign * stream->Format().blockAlign;
    ASSERT_EQ(RunAndWait(*stream), S_OK);
    const uint64_t wanted = 2 * stream->Format().avgBytesPerSec / block;  // about two seconds of blocks
    ASSERT_TRUE(WaitUntil([&] { return tap.count() >= wanted; }, 15000)) << tap.count() << " blocks";
    ASSERT_EQ(stream->Stop(), S_OK);
    const auto sizes = tap.sizes();
    ASSERT_FALSE(sizes.empty());
    // Every block whole; only the one that Stop hands on may be shorter.
    for (size_t i = 0; i + 1 < sizes.size(); ++i) ASSERT_EQ(sizes[i], block) << "block " << i;
    EXPECT_GT(sizes.back(), 0u);
    EXPECT_LE(sizes.back(), block);
  }
}

// Reads each frame as a position: left channel the low 16 bits, right the high.
class PositionTap final : public SampleCallback {
 public:
  explicit PositionTap(size_t frames) : positions_(frames) {}
  HRESULT SampleCB(double, const uint8_t* data, size_t length) override {
    for (size_t i = 0; i + 3 < length && used_ < positions_.size(); i += 4) {
      uint16_t low, high;
      std::memcpy(&low, data + i, 2);
      std::memcpy(&high, data + i + 2, 2);
      positions_[used_++] = uint32_t{high} << 16 | low;
    }
    frames_ = used_;
    return S_OK;
  }
  size_t frames() const { return frames_; }
  // Only while the stream is stopped, or below frames().
  uint32_t at(size_t i) const { return positions_[i]; }

 private:
  std::vector<uint32_t> positions_;
  size_t used_ = 0;
  std::atomic<size_t> frames_{0};
};

TEST_P(Capture, AQuickSplitLosesNoAudioAndALongStopDropsStaleAudio) {
  ScopedNullSink sink(UniqueSinkName("split"));
  ASSERT_TRUE(sink.loaded());
  auto device = Bind(sink.monitor());
  ASSERT_NE(device, nullptr);
  const size_t rate = 48000;
  PositionTap tap(rate * 20);
  std::unique_ptr<CaptureStream> stream;
  ASSERT_EQ(system_->Connect(device, 4096, &tap, nullptr, stream), S_OK);
  const uint32_t deviceRate = stream->Format().samplesPerSec;

  // A counting signal at the sink's own rate passes through unchanged.
  TempDir dir;
  const auto wav = dir.path() / "count.wav";
  std::vector<int16_t> pcm;
  for (uint32_t n = 1; n <= deviceRate * 12; ++n) {
    pcm.push_back(static_cast<int16_t>(n & 0xFFFF));
    pcm.push_back(static_cast<int16_t>(n >> 16));
  }
  media_tools::WriteWav(wav, pcm, static_cast<int>(deviceRate), 2);

  ASSERT_EQ(RunAndWait(*stream), S_OK);
  Child player({"/usr/bin/paplay", "-d", sink.name(), wav.string()});
  auto counting = [&] { return tap.frames() > deviceRate / 2 && tap.at(tap.frames() - 1) > deviceRate / 4; };
  ASSERT_TRUE(WaitUntil(counting, 15000));

  auto split = [&](int pauseMs) -> int64_t {
    EXPECT_EQ(stream->Stop(), S_OK);
    const size_t boundary = tap.frames();
    if (pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    EXPECT_EQ(RunAndWait(*stream), S_OK);
    EXPECT_TRUE(WaitUntil([&] { return tap.frames() > boundary + deviceRate / 10; }, 5000));
    return static_cast<int64_t>(tap.at(boundary)) - tap.at(boundary - 1) - 1;
  };
  // A split (stop, finish one file, start the next, run): the audio of the
  // gap goes to the next run.
  EXPECT_EQ(split(0), 0) << "frames lost at a quick split";
  EXPECT_EQ(split(300), 0) << "frames lost at a split";
  // After a long stop the next run starts with fresh audio, not with what
  // queued up meanwhile.
  EXPECT_GT(split(2500), static_cast<int64_t>(deviceRate)) << "stale audio delivered after a long stop";
  EXPECT_EQ(stream->Stop(), S_OK);
}

TEST_P(Capture, AStreamWhoseSourceGoesAwayIsToldAndOurOwnEndIsNot) {
  std::atomic<int> lost{0};
  system_->SetLostHandler([&lost] { ++lost; });
  ScopedNullSink sink(UniqueSinkName("gone"));
  ASSERT_TRUE(sink.loaded());
  auto device = Bind(sink.monitor());
  ASSERT_NE(device, nullptr);
  RecordingTap tap(0);
  {
    // Stopped and dropped by us: nothing to tell.
    std::unique_ptr<CaptureStream> stream;
    ASSERT_EQ(system_->Connect(device, 4096, &tap, nullptr, stream), S_OK);
    ASSERT_EQ(RunAndWait(*stream), S_OK);
    EXPECT_EQ(stream->Stop(), S_OK);
  }
  std::unique_ptr<CaptureStream> stream;
  ASSERT_EQ(system_->Connect(device, 4096, &tap, nullptr, stream), S_OK);
  ASSERT_EQ(RunAndWait(*stream), S_OK);
  EXPECT_EQ(lost, 0);
  sink.Unload();
  EXPECT_TRUE(WaitUntil([&] { return lost > 0; }, 5000));
  EXPECT_EQ(stream->Stop(), S_OK);
  stream.reset();
  EXPECT_EQ(lost, 1);
  system_->SetLostHandler({});
}

// Freezes a server for the scope.
class Frozen {
 public:
  explicit Frozen(pid_t pid) : pid_(pid) { kill(pid_, SIGSTOP); }
  ~Frozen() { kill(pid_, SIGCONT); }

 private:
  pid_t pid_;
};

// A sound server of the test's own, which it may kill.
class PrivateServer {
 public:
  PrivateServer(Server kind, const std::filesystem::path& dir) : dir_(dir) {
    const std::string runtime = (dir / "xdg").string();
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    const std::string env = "XDG_RUNTIME_DIR=" + runtime + " PIPEWIRE_RUNTIME_DIR=" + runtime +
                            " HOME=" + dir.string() + " XDG_CONFIG_HOME=" + dir.string() +
                            "/config XDG_STATE_HOME=" + dir.string() + "/state ";
    auto spawn = [&](const std::string& command, const char* log) {
      return std::make_unique<Child>(std::vector<std::string>{
          "/bin/sh", "-c", env + "exec " + command + " </dev/null >" + (dir / log).string() + " 2>&1"});
    };
    if (kind == Server::PulseAudio) {
      address_ = "unix:" + (dir / "pulse.sock").string();
      server_ = spawn(
          "/usr/bin/pulseaudio --daemonize=no --exit-idle-time=-1 -n --disallow-exit "
          "--load='module-null-sink sink_name=rec_sink sink_properties=device.description=RecSink' "
          "--load='module-native-protocol-unix auth-anonymous=1 socket=" +
              (dir / "pulse.sock").string() + "'",
          "pulseaudio.log");
    } else {
      address_ = "unix:" + runtime + "/pulse/native";
      helpers_.push_back(spawn("/usr/bin/pipewire", "pipewire.log"));
      WaitUntil([&] { return std::filesystem::exists(runtime + "/pipewire-0"); }, 10000);
      // As in the rig: without logind (no systemd) WirePlumber's Bluetooth
      // monitor makes it quit at start, and then no record stream is linked.
      const std::filesystem::path wireplumber = dir / "config" / "wireplumber" / "bluetooth.lua.d";
      std::filesystem::create_directories(wireplumber);
      std::ofstream(wireplumber / "80-no-bluetooth.lua") << "bluez_monitor.enabled = false\n";
      helpers_.push_back(spawn("/usr/bin/wireplumber", "wireplumber.log"));
      server_ = spawn("/usr/bin/pipewire-pulse", "pipewire-pulse.log");
    }
    env_.emplace("PULSE_SERVER", address_);
    ready_ = WaitUntil([] { return media_tools::Run({"/usr/bin/pactl", "info"}).status == 0; }, 15000);
    if (ready_ && kind == Server::PipeWire) {
      ready_ = media_tools::Run({"/usr/bin/pactl", "load-module", "module-null-sink", "sink_name=rec_sink",
                                 "sink_properties=device.description=RecSink"})
                   .status == 0;
      // The sink is listed before the session manager links streams to it;
      // until then a new record stream may fail at once. Ready means a
      // record stream on its monitor gets data.
      ready_ = ready_ && media_tools::Run({"/bin/sh", "-c",
                                           "timeout 15 parec --raw -d rec_sink.monitor 2>/dev/null | head -c 4096 | wc -c"})
                                .out.find("4096") == 0;
    }
  }

  bool ready() const { return ready_; }
  void Kill() { server_->Kill(SIGKILL); }
  pid_t pid() const { return server_->pid(); }

 private:
  std::filesystem::path dir_;
  std::string address_;
  std::vector<std::unique_ptr<Child>> helpers_;
  std::unique_ptr<Child> server_;
  std::optional<ScopedEnv> env_;
  bool ready_ = false;
};

TEST_P(Capture, LosingTheServerLeavesAPlayableFileAndCallsThatFail) {
  TempDir dir;
  PrivateServer server(GetParam(), dir.path());
  ASSERT_TRUE(server.ready());
  auto system = MakePulseAudioSystem();
  std::atomic<int> lost{0};
  system->SetLostHandler([&lost] { ++lost; });
  std::shared_ptr<CaptureDevice> device;
  ASSERT_TRUE(WaitUntil([&] { return SUCCEEDED(system->BindCaptureDevice("rec_sink.monitor", device)); }, 5000));
  const auto file = dir.path() / "cut.wma";
  auto writer = asf::MakeFfmpegWmaWriter();
  ASSERT_EQ(writer->SetFileName(file.string()), S_OK);
  ASSERT_EQ(writer->SetAttribute(u"Title", u"Cut short"), S_OK);
  RecordingTap tap(0);
  std::unique_ptr<CaptureStream> stream;
  ASSERT_EQ(system->Connect(device, 8192, &tap, writer, stream), S_OK);
  const WaveFormat format = stream->Format();
  ASSERT_EQ(RunAndWait(*stream), S_OK);
  Child player({"/usr/bin/paplay", "-d", "rec_sink", ToneFile(dir, 10.0).string()});
  ASSERT_TRUE(WaitUntil([&] { return tap.loudBytes_ >= format.avgBytesPerSec / 2; }, 15000));

  EXPECT_EQ(lost, 0);
  server.Kill();
  EXPECT_TRUE(WaitUntil([&] { return FAILED(stream->WaitRunning(0)); }, 5000));
  // The window hears of it without asking, once for the server and its stream.
  EXPECT_TRUE(WaitUntil([&] { return lost > 0; }, 5000));
  EXPECT_EQ(stream->Stop(), S_OK);

  auto p = media_tools::Probe(file);
  EXPECT_EQ(p["codec_name"], "wmav2");
  EXPECT_EQ(p["TAG:title"], "Cut short");
  EXPECT_GE(std::atof(p["duration"].c_str()), 0.4);
  std::string errors;
  EXPECT_TRUE(media_tools::DecodesCleanly(file, &errors)) << errors;

  // Everything fails cleanly now, and nothing waits for the dead server.
  EXPECT_TRUE(FAILED(stream->Run()));
  double level = 0;
  EXPECT_TRUE(FAILED(device->Mixer(1)->GetMixLevel(level)));
  EXPECT_TRUE(FAILED(device->Mixer(1)->SetMixLevel(0.5)));
  std::vector<DeviceInfo> devices;
  EXPECT_TRUE(FAILED(system->EnumerateDevices(devices)));
  std::shared_ptr<CaptureDevice> again;
  EXPECT_TRUE(FAILED(system->BindCaptureDevice("rec_sink.monitor", again)));
  stream.reset();
  device.reset();
  EXPECT_EQ(lost, 1);
  system.reset();
}

TEST_P(Capture, AServerThatStopsAnsweringTimesOutInsteadOfHanging) {
  TempDir dir;
  PrivateServer server(GetParam(), dir.path());
  ASSERT_TRUE(server.ready());
  auto system = MakePulseAudioSystem();
  std::shared_ptr<CaptureDevice> device;
  ASSERT_TRUE(WaitUntil([&] { return SUCCEEDED(system->BindCaptureDevice("rec_sink.monitor", device)); }, 5000));
  RecordingTap tap(0);
  std::unique_ptr<CaptureStream> stream;
  ASSERT_EQ(system->Connect(device, 8192, &tap, nullptr, stream), S_OK);
  ASSERT_EQ(RunAndWait(*stream), S_OK);
  {
    Frozen frozen(server.pid());
    double level = 0;
    EXPECT_TRUE(FAILED(device->Mixer(1)->GetMixLevel(level)));
    std::vector<DeviceInfo> devices;
    EXPECT_TRUE(FAILED(system->EnumerateDevices(devices)));
    EXPECT_EQ(stream->Stop(), S_OK);  // needs no answer from the server
  }
  // Answers to the abandoned requests arrive later and do no harm.
  double level = 0;
  EXPECT_TRUE(WaitUntil([&] { return SUCCEEDED(device->Mixer(1)->GetMixLevel(level)); }, 5000));
  EXPECT_EQ(RunAndWait(*stream), S_OK);
  EXPECT_EQ(stream->Stop(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Servers, Capture, ::testing::Values(Server::PulseAudio, Server::PipeWire),
                         [](const auto& info) {
                           return std::string(info.param == Server::PulseAudio ? "PulseAudio" : "PipeWire");
                         });

}  // namespace
