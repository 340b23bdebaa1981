// Figures of the recording engine; prints them and asserts nothing.
//  (a) CPU time of encoding 60 s of 44.1 kHz stereo through CMp3Encoder,
//      divided by the CPU time of the lame command line with the same
//      settings on the same PCM in the same run (best of three each);
//  (b) the peak meter's throughput;
//  (c) audio lost at a song split: a counting signal played into a private
//      null sink is recorded by the engine through FinishSong/StartSong into
//      MP3 files; the values the engine hands the encoder show the gap;
//  (d) resident memory of the process while it records;
//  (e) audio lost or doubled at a split as a listener hears it: a noise
//      signal played into a private null sink is recorded into MP3 and WMA
//      files through the song change path (SplitSong), with the look-back
//      off and at its default; every file is decoded with ffmpeg and placed
//      in the played signal, and each seam's gap or overlap is reported.
// (c), (d) and (e) need a sound server (PULSE_SERVER, e.g. inside scripts/rig).
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bench_support.h"
#include "bench/support/seam_align.h"
#include "platform/asf/asf.h"
#include "platform/audio/audio.h"
#include "platform/audio/fake_audio.h"
#include "platform/lame/lame.h"
#include "platform/loop/fake_loop.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/engine/recording_engine.h"

namespace fs = std::filesystem;
using namespace orvweb;

namespace {

constexpr int kRate = 44100;

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void WriteWav(const fs::path& file, const std::vector<int16_t>& stereo) {
  bench::WriteStereoWav16(file.string(), stereo, kRate);
}

// Music-like PCM: two tones, noise, a slow swell.
std::vector<int16_t> Music(int seconds) {
  std::vector<int16_t> pcm(static_cast<size_t>(seconds) * kRate * 2);
  std::mt19937 noise(7);
  std::uniform_real_distribution<double> n(-1.0, 1.0);
  for (size_t i = 0; i < pcm.size() / 2; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double swell = 0.6 + 0.4 * std::sin(2 * M_PI * 0.1 * t);
    const double l = swell * (9000 * std::sin(2 * M_PI * 220 * t) + 5000 * std::sin(2 * M_PI * 1760 * t)) + 2500 * n(noise);
    const double r = swell * (9000 * std::sin(2 * M_PI * 330 * t) + 4000 * std::sin(2 * M_PI * 2640 * t)) + 2500 * n(noise);
    pcm[2 * i] = static_cast<int16_t>(l);
    pcm[2 * i + 1] = static_cast<int16_t>(r);
  }
  return pcm;
}

void EncodeRatio(const fs::path& dir) {
  const auto pcm = Music(60);
  const fs::path wav = dir / "music.wav";
  WriteWav(wav, pcm);

  double ours = 1e9;
  for (int run = 0; run < 3; ++run) {
    CMp3Encoder encoder;
    if (!encoder.isLoaded()) {
      std::printf("(a) encoder ratio                        n/a: libmp3lame not found\n");
      return;
    }
    const double start = ThreadCpuSeconds();
    encoder.OpenStream(platform::audio::MakePcmFormat(2, kRate), (dir / "ours.mp3").string());
    // Deliveries of the default capture buffer: 10000 bytes.
    for (size_t at = 0; at < pcm.size(); at += 5000) {
      const size_t n = std::min<size_t>(5000, pcm.size() - at);
      encoder.EncodeSamples(reinterpret_cast<const uint8_t*>(pcm.data() + at), static_cast<uint32_t>(n));
    }
    encoder.CloseStream();
    ours = std::min(ours, ThreadCpuSeconds() - start);
  }

  const char* flags = "-V 3 -b 128 -F -m j";
  double theirs = 1e9;
  for (int run = 0; run < 3; ++run) {
    const pid_t child = fork();
    if (child == 0) {
      execlp("lame", "lame", "--quiet", "-V", "3", "-b", "128", "-F", "-m", "j", wav.c_str(),
             (dir / "cli.mp3").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::printf("(a) encoder ratio                        n/a: the lame command line failed\n");
      return;
    }
    theirs = std::min(theirs, usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                                  usage.ru_stime.tv_usec / 1e6);
  }
  std::printf("(a) encoder CPU / lame %s        %.3f  (%.3f s vs %.3f s for 60 s of audio)\n", flags,
              ours / theirs, ours, theirs);
  std::printf("    file sizes: ours %ju bytes, lame %ju bytes\n", static_cast<uintmax_t>(fs::file_size(dir / "ours.mp3")),
              static_cast<uintmax_t>(fs::file_size(dir / "cli.mp3")));
}

void PeakThroughput() {
  std::vector<int16_t> buffer(4 << 20);  // 8 MiB
  std::mt19937 random(3);
  for (auto& v : buffer) v = static_cast<int16_t>(random());
  const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
  const size_t length = buffer.size() * 2;
  volatile int sink = 0;
  size_t total = 0;
  const auto start = std::chrono::steady_clock::now();
  std::chrono::duration<double> elapsed{};
  do {
    for (int i = 0; i < 16; ++i) sink = sink + CRecordingEngine::PeakLevel(bytes, length);
    total += 16 * length;
    elapsed = std::chrono::steady_clock::now() - start;
  } while (elapsed.count() < 1.0);
  std::printf("(b) peak meter throughput                %.2f GB/s\n", total / elapsed.count() / 1e9);
  // A capture buffer of the default size, as the sample path sees it.
  const size_t small = 10000;
  size_t calls = 0;
  const auto start2 = std::chrono::steady_clock::now();
  do {
    for (int i = 0; i < 1000; ++i) sink = sink + CRecordingEngine::PeakLevel(bytes + (calls++ % 512) * small, small);
    elapsed = std::chrono::steady_clock::now() - start2;
  } while (elapsed.count() < 0.5);
  std::printf("    per 10000-byte capture buffer       %.0f ns\n", elapsed.count() / calls * 1e9);
}

// The main window as the engine sees it.
class Owner : public platform::Window, public IEngineOwner {
 public:
  explicit Owner(platform::Loop& loop) : Window(loop) {}
  platform::Window* EngineWindow() override { return this; }
  bool ShowRecLevel() const override { return true; }
  void WriteLogId(int) override {}
};

// The real LAME entry points, also keeping the left channel of every value
// the engine hands the encoder (in memory reserved up front).
struct Recorder {
  std::vector<int16_t> left;
  std::atomic<size_t> used{0};
  Mp3EncoderTable Wrap(Mp3EncoderTable real) {
    auto encode = real.beEncodeChunk;
    real.beEncodeChunk = [this, encode](HBE_STREAM stream, uint32_t count, const int16_t* values, uint8_t* out,
                                        uint32_t& bytes) {
      size_t n = used.load();
      for (uint32_t i = 0; i + 1 < count && n < left.size(); i += 2) left[n++] = values[i];
      used.store(n);
      return encode(stream, count, values, out, bytes);
    };
    return real;
  }
};

void SplitAndMemory(const fs::path& dir) {
  const std::string sink = "orvweb_engine_bench_" + std::to_string(getpid());
  std::string module;
  if (bench::RunCommand("pactl load-module module-null-sink sink_name=" + sink + " rate=44100 channels=2 2>/dev/null", &module) !=
      0) {
    std::printf("(c) audio lost at a song split           n/a: no sound server (run inside scripts/rig)\n");
    std::printf("(d) resident memory while recording      n/a: no sound server\n");
    return;
  }
  module.erase(module.find_last_not_of(" \n") + 1);

  const int seconds = 45;  // room for the look-back's delay after every split
  std::vector<int16_t> count(static_cast<size_t>(seconds) * kRate * 2);
  for (size_t i = 0; i < count.size() / 2; ++i) count[2 * i] = count[2 * i + 1] = static_cast<int16_t>(i);
  const fs::path wav = dir / "count.wav";
  WriteWav(wav, count);

  setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
  WriteProfileString(kKeySongsFolder, platform::FromUtf8((dir / "songs").string()) + u"/");
  WriteProfileString(kKeySourceName, platform::FromUtf8(sink + ".monitor"));
  WriteProfileInt(kKeyOutputFormat, kOutputFormatMp3);
  WriteProfileInt(kKeyMinSongLength, 0);  // keep and tag every song, as a real split does

  auto audio = platform::audio::MakePulseAudioSystem();
  platform::FakeLoop loop;
  Owner owner(loop);
  Recorder recorder;
  recorder.left.resize(static_cast<size_t>(seconds + 10) * kRate);
  CRecordingEngine engine(&owner, EngineServices{audio.get(), nullptr, nullptr}, recorder.Wrap(platform::lame::LameEncoderTable()));
  HRESULT hr = platform::E_FAIL;
  for (int i = 0; i < 100 && (hr = engine.BuildGraph(0)) < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (hr < 0 || engine.StartSong(u"Bench", u"Song 0", u"") < 0) {
    std::printf("(c) audio lost at a song split           n/a: cannot record from %s.monitor (0x%08x)\n", sink.c_str(),
                static_cast<unsigned>(hr));
    bench::RunCommand("pactl unload-module " + module);
    return;
  }
  const pid_t player = fork();
  if (player == 0) {
    execlp("paplay", "paplay", "-d", sink.c_str(), wav.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  auto heard = [&] {
    const size_t n = recorder.used.load();
    return n > 100 && recorder.left[n - 1] != 0;
  };
  for (int i = 0; i < 400 && !heard(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));

  using Clock = std::chrono::steady_clock;
  std::vector<double> lost, finishMs, startMs;
  for (int split = 1; split <= 8; ++split) {
    for (int i = 0; i < 30; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      loop.RunPending();  // level messages, as the main window serves them
    }
    const auto t0 = Clock::now();
    engine.FinishSong();  // stops, flushes, closes, writes header and tag
    const auto t1 = Clock::now();
    const size_t boundary = recorder.used.load();
    engine.StartSong(u"Bench", u"Song " + platform::FromUtf8(std::to_string(split)), u"");
    const auto t2 = Clock::now();
    finishMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    startMs.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    // The new song's first values reach the encoder after the look-back's delay.
    for (int i = 0; i < 1000 && recorder.used.load() <= boundary; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (boundary == 0 || recorder.used.load() <= boundary) continue;
    const auto before = static_cast<uint16_t>(recorder.left[boundary - 1]);
    const auto after = static_cast<uint16_t>(recorder.left[boundary]);
    lost.push_back(static_cast<uint16_t>(after - before - 1) * 1000.0 / kRate);
  }
  const bench::Resident memory;
  engine.FinishSong();
  kill(player, SIGKILL);
  waitpid(player, nullptr, 0);
  bench::RunCommand("pactl unload-module " + module);

  bench::ReportSplits("(c) audio lost at a song split", lost);
  bench::ReportSplits("    FinishSong (stop, close, tag)", finishMs);
  bench::ReportSplits("    StartSong (name, open, run)", startMs);
  bench::ReportResidentMemory(memory);
  size_t files = 0;
  uintmax_t bytes = 0;
  for (const auto& entry : fs::directory_iterator(dir / "songs")) {
    files += entry.path().extension() == ".mp3";
    bytes += entry.file_size();
  }
  std::printf("    songs written: %zu MP3 files, %ju bytes; %.1f s of audio fed\n", files, bytes,
              static_cast<double>(recorder.used.load()) / kRate);
}

// One recording for (e): songs split every 2.5 s while the signal plays;
// the files in the order they were written.
std::vector<std::string> RecordSeams(const fs::path& dir, const std::string& sink, const fs::path& wav, int format,
                                     int splitSearchMs, int splits) {
  const fs::path songs = dir / ("seams-" + std::to_string(format) + "-" + std::to_string(splitSearchMs));
  fs::create_directories(songs);
  WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");
  WriteProfileString(kKeySourceName, platform::FromUtf8(sink + ".monitor"));
  WriteProfileInt(kKeyOutputFormat, format);
  WriteProfileInt(kKeySplitSearch, splitSearchMs);
  WriteProfileInt(kKeyMinSongLength, 0);

  auto audio = platform::audio::MakePulseAudioSystem();
  platform::FakeLoop loop;
  Owner owner(loop);
  CRecordingEngine engine(&owner, EngineServices{audio.get(), [] { return platform::asf::MakeFfmpegWmaWriter(); }, nullptr},
                          platform::lame::LameEncoderTable());
  HRESULT hr = platform::E_FAIL;
  for (int i = 0; i < 100 && (hr = engine.BuildGraph(0)) < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::vector<std::string> files;
  if (hr < 0 || engine.StartSong(u"Bench", u"Seam 0", u"") < 0) return files;
  files.push_back(engine.writePath());
  const pid_t player = fork();
  if (player == 0) {
    execlp("paplay", "paplay", "-d", sink.c_str(), wav.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  auto pump = [&](int ms) {
    for (int i = 0; i < ms / 20; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      loop.RunPending();  // level messages and the look-back's ready signal
    }
  };
  pump(1000);  // the player's start; the first song begins in silence
  for (int split = 1; split <= splits; ++split) {
    pump(2500);
    if (engine.SplitSong(u"Bench", u"Seam " + platform::FromUtf8(std::to_string(split)), u"") < 0) break;
    for (int i = 0; i < 250 && engine.splitPending(); ++i) pump(20);
    files.push_back(engine.writePath());
  }
  pump(2500);
  engine.FinishSong();
  kill(player, SIGKILL);
  waitpid(player, nullptr, 0);
  return files;
}

void DecodedSeams(const fs::path& dir) {
  const std::string sink = "orvweb_engine_seams_" + std::to_string(getpid());
  std::string module;
  if (bench::RunCommand("pactl load-module module-null-sink sink_name=" + sink + " rate=44100 channels=2 2>/dev/null", &module) !=
      0) {
    std::printf("(e) lost or doubled at a split, decoded  n/a: no sound server (run inside scripts/rig)\n");
    return;
  }
  module.erase(module.find_last_not_of(" \n") + 1);
  if (bench::RunCommand("ffmpeg -version >/dev/null 2>&1") != 0) {
    std::printf("(e) lost or doubled at a split, decoded  n/a: ffmpeg not found\n");
    bench::RunCommand("pactl unload-module " + module);
    return;
  }
  setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);  // never the user's settings
  const auto played = bench::SeamSignal(static_cast<size_t>(40) * kRate);
  const fs::path wav = dir / "seams.wav";
  bench::WriteStereoWav(wav.string(), played);

  constexpr int kSplits = 6;
  for (const int format : {kOutputFormatMp3, kOutputFormatWma}) {
    for (const int splitSearchMs : {0, kDefaultSplitSearch}) {
      const auto files = RecordSeams(dir, sink, wav, format, splitSearchMs, kSplits);
      std::vector<bench::Placed> placed;
      for (const auto& file : files) {
        const auto decoded = bench::DecodeMono(file, (dir / "decoded.raw").string());
        placed.push_back(decoded ? bench::PlaceFile(*decoded, played) : bench::Placed{});
      }
      std::vector<double> gaps, padding;
      size_t unplaced = 0, drifting = 0;
      for (size_t k = 0; k + 1 < placed.size(); ++k) {
        if (!placed[k].ok || !placed[k + 1].ok) {
          ++unplaced;
          continue;
        }
        drifting += placed[k].drift != 0;
        gaps.push_back(bench::SeamGap(placed[k], placed[k + 1]) * 1000.0 / kRate);
        padding.push_back((placed[k].tailPadding + placed[k + 1].leadPadding) * 1000.0 / kRate);
      }
      char what[80];
      std::snprintf(what, sizeof what, "(e) %s, SplitSearch %d", format == kOutputFormatMp3 ? "MP3" : "WMA", splitSearchMs);
      bench::ReportSeams(what, gaps, padding);
      if (unplaced || drifting) {
        std::printf("    %zu seams not measured (a file not found in the signal), %zu files with audio dropped inside\n",
                    unplaced, drifting);
      }
    }
  }
  bench::RunCommand("pactl unload-module " + module);
}

}  // namespace

// "engine_bench seams" prints (e) only.
int main(int argc, char** argv) {
  const fs::path dir = fs::temp_directory_path() / ("orvweb-engine-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  if (argc > 1 && std::strcmp(argv[1], "seams") == 0) {
    DecodedSeams(dir);
    fs::remove_all(dir);
    return 0;
  }
  EncodeRatio(dir);
  PeakThroughput();
  SplitAndMemory(dir);
  DecodedSeams(dir);
  fs::remove_all(dir);
  return 0;
}
