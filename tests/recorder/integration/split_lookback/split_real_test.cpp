// The split look-back for real: three tone songs with 200 ms gaps played into
// a null sink of the test's own on the rig's PulseAudio, recorded by the
// engine with LAME while the title changes arrive about 0.4 s after each
// boundary. Each file, decoded by ffmpeg, must begin and end with its own
// tone or silence: none of the neighbour's audio on either side.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/loop/fake_loop.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/engine/recording_engine.h"
#include "test_support.h"
#include "tests/platform/asf/media_tools.h"

namespace {

namespace fs = std::filesystem;
using namespace orvweb;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 44100;
constexpr double kTones[] = {440.0, 660.0, 990.0};
constexpr double kSongSeconds = 3.0;
constexpr double kGapSeconds = 0.2;
constexpr double kLeadSeconds = 0.5;

class Owner : public platform::Window, public IEngineOwner {
 public:
  explicit Owner(platform::Loop& loop) : Window(loop) {}
  platform::Window* EngineWindow() override { return this; }
  bool ShowRecLevel() const override { return true; }
  void WriteLogId(int) override {}
  bool heard = false;

 protected:
  void OnMessage(uint32_t msg, uintptr_t level, intptr_t) override { heard |= msg == kLevelMessage && level > 5; }
};

// Power of one frequency in a window (Goertzel).
double Power(const std::vector<int16_t>& pcm, size_t from, size_t count, double hz) {
  const double k = 2 * std::cos(2 * M_PI * hz / kRate);
  double s1 = 0, s2 = 0;
  for (size_t i = from; i < from + count && i < pcm.size(); ++i) {
    // A Hann window keeps a loud tone from leaking into the other bins.
    const double hann = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i - from) / static_cast<double>(count));
    const double s = hann * pcm[i] + k * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return s1 * s1 + s2 * s2 - k * s1 * s2;
}

// "silence", "tone N" or "mixed" for a window of mono PCM.
std::string Content(const std::vector<int16_t>& pcm, size_t from, size_t count) {
  int peak = 0;
  for (size_t i = from; i < from + count && i < pcm.size(); ++i) peak = std::max(peak, std::abs(int{pcm[i]}));
  if (peak < 300) return "silence";
  double powers[3];
  for (int t = 0; t < 3; ++t) powers[t] = Power(pcm, from, count, kTones[t]);
  const int loudest = static_cast<int>(std::max_element(powers, powers + 3) - powers);
  for (int t = 0; t < 3; ++t) {
    if (t != loudest && powers[t] * 100 > powers[loudest]) return "mixed";
  }
  return "tone " + std::to_string(loudest + 1);
}

std::vector<int16_t> DecodeMono(const fs::path& file) {
  const fs::path raw = file.string() + ".raw";
  media_tools::Run({"/usr/bin/ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", file.string(), "-ac", "1", "-ar",
                    std::to_string(kRate), "-f", "s16le", raw.string()});
  std::ifstream in(raw, std::ios::binary);
  std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<int16_t> pcm(bytes.size() / 2);
  std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
  return pcm;
}

TEST(SplitLookBackReal, EachSongFileStartsAndEndsWithItsOwnSong) {
  if (!getenv("PULSE_SERVER")) GTEST_SKIP() << "needs the rig's PulseAudio (scripts/rig)";
  media_tools::ScopedNullSink sink("orvweb_split_" + std::to_string(getpid()), {"rate=44100", "channels=2"});
  ASSERT_TRUE(sink.loaded());
  testing_support::TempDir home;
  testing_support::ScopedEnv config("XDG_CONFIG_HOME", (home.path() / "config").string());
  testing_support::ScopedEnv state("XDG_STATE_HOME", (home.path() / "state").string());
  const fs::path songs = home.path() / "songs";
  WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");
  WriteProfileString(kKeySourceName, platform::FromUtf8(sink.name() + ".monitor"));
  WriteProfileInt(kKeyOutputFormat, kOutputFormatMp3);
  WriteProfileInt(kKeyMinSongLength, 0);

  // Silence, three songs with gaps, silence.
  std::vector<int16_t> program(static_cast<size_t>(kLeadSeconds * kRate) * 2, 0);
  for (int s = 0; s < 3; ++s) {
    const auto tone = media_tools::Tone(kRate, 2, kSongSeconds, kTones[s], 0.35);
    program.insert(program.end(), tone.begin(), tone.end());
    program.insert(program.end(), static_cast<size_t>((s < 2 ? kGapSeconds : 1.0) * kRate) * 2, 0);
  }
  const fs::path wav = home.path() / "program.wav";
  media_tools::WriteWav(wav, program, kRate, 2);

  auto audio = platform::audio::MakePulseAudioSystem();
  platform::FakeLoop loop;
  Owner owner(loop);
  CRecordingEngine engine(&owner, EngineServices{audio.get(), nullptr, nullptr});
  if (!engine.encoder().isLoaded()) GTEST_SKIP() << "libmp3lame not found";
  HRESULT hr = platform::E_FAIL;
  for (int i = 0; i < 100 && (hr = engine.BuildGraph(0)) < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GE(hr, 0);
  ASSERT_GE(engine.StartSong(u"Split", u"Song 1", u""), 0);
  ASSERT_TRUE(engine.lookBackActive());

  testing_support::Child player({"/usr/bin/paplay", "-d", sink.name(), wav.string()});
  // The loop serves level messages and the engine's own split messages.
  auto pump = [&](Clock::time_point until) {
    while (Clock::now() < until) {
      loop.RunPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  const auto start = Clock::now();
  while (!owner.heard && Clock::now() - start < std::chrono::seconds(10)) pump(Clock::now() + std::chrono::milliseconds(5));
  ASSERT_TRUE(owner.heard) << "the first song never reached the capture";
  // The first song was heard within one capture buffer of its start.
  const auto firstNote = Clock::now();
  auto at = [&](double seconds) { return firstNote + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6)); };
  for (int boundary = 1; boundary <= 2; ++boundary) {
    const double seam = boundary * (kSongSeconds + kGapSeconds) - kGapSeconds / 2;
    pump(at(seam + 0.4));
    engine.SplitSong(u"Split", u"Song " + platform::FromUtf8(std::to_string(boundary + 1)), u"");
  }
  pump(at(3 * kSongSeconds + 2 * kGapSeconds + 0.8));
  engine.FinishSong();
  player.Wait(10000);

  for (int s = 1; s <= 3; ++s) {
    SCOPED_TRACE(s);
    const fs::path file = songs / ("Split - Song " + std::to_string(s) + ".mp3");
    ASSERT_TRUE(fs::exists(file));
    const auto pcm = DecodeMono(file);
    const size_t window = kRate * 30 / 1000;
    ASSERT_GT(pcm.size(), 2 * window);
    const std::string own = "tone " + std::to_string(s);
    const std::string head = Content(pcm, 0, window);
    const std::string tail = Content(pcm, pcm.size() - window, window);
    EXPECT_TRUE(head == own || head == "silence") << "head: " << head;
    EXPECT_TRUE(tail == own || tail == "silence") << "tail: " << tail;
    // The whole file holds its own song: its tone is there, the others not.
    const std::string middle = Content(pcm, pcm.size() / 2, window);
    EXPECT_EQ(middle, own);
    if (s == 2) {
      // Nothing lost at either split: the song and its two half gaps.
      EXPECT_NEAR(static_cast<double>(pcm.size()) / kRate, kSongSeconds + kGapSeconds, 0.08);
    }
  }
}

}  // namespace
