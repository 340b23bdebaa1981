// A recorder that dies mid-song: the real engine with the real LAME or WMA
// writer, fed a 440 Hz tone through the capture tap. It records
// `seconds` of audio at once, writes "ready" to the file named last, then
// keeps recording in real time until it is killed. Before every buffer is
// delivered, the frames up to its end stand in "<ready file>.frames"
// (8 bytes), so the test knows how much audio there was at the kill.
//   crash_song_child <1 = MP3 | 2 = WMA> <seconds> <ready file>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/asf/asf.h"
#include "platform/audio/fake_audio.h"
#include "platform/loop/fake_loop.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/engine/recording_engine.h"

namespace {

class Owner : public orvweb::IEngineOwner {
 public:
  platform::Window* EngineWindow() override { return nullptr; }
  bool ShowRecLevel() const override { return false; }
  void WriteLogId(int) override {}
};

}  // namespace

int main(int argc, char** argv) {
  using namespace orvweb;
  if (argc != 4) return 2;
  const int format = std::atoi(argv[1]);
  const int seconds = std::atoi(argv[2]);
  WriteProfileInt(kKeyOutputFormat, format);
  WriteProfileString(kKeySourceName, u"rec_sink.monitor");

  platform::audio::FakeAudioSystem audio;
  audio.AddDevice(platform::audio::FakeCaptureDevice::Make("rec_sink.monitor", u"RecSink", 1));
  Owner owner;
  CRecordingEngine engine(&owner, EngineServices{&audio, [] { return platform::asf::MakeFfmpegWmaWriter(); }, nullptr});
  if (engine.BuildGraph(0) != 0) return 3;
  if (engine.StartSong(u"Crash Artist", u"Crash Title", u"") != 0) return 4;

  // 100 ms buffers of 44.1 kHz stereo.
  constexpr int kFrames = 4410;
  std::vector<int16_t> buffer(kFrames * 2);
  long frame = 0;
  const int progress = ::open((std::string(argv[3]) + ".frames").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (progress < 0) return 6;
  auto next = [&] {
    for (int i = 0; i < kFrames; ++i, ++frame) {
      const auto v = static_cast<int16_t>(std::lround(12000.0 * std::sin(2.0 * M_PI * 440.0 * frame / 44100.0)));
      buffer[2 * i] = buffer[2 * i + 1] = v;
    }
    // Counted before it is handed over: a kill in between errs towards more.
    const int64_t frames = frame;
    return ::pwrite(progress, &frames, sizeof frames, 0) == static_cast<ssize_t>(sizeof frames) &&
           audio.lastStream()->Deliver(buffer);
  };
  for (int i = 0; i < seconds * 10; ++i) {
    if (!next()) return 5;
  }
  std::ofstream(argv[3]) << "ready\n";
  for (;;) {
    next();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}
