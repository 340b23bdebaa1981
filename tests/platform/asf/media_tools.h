#pragma once
// Test helpers around the media tools: running a program and reading its
// output, ffprobe's view of a file, and tone generation.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace media_tools {

struct RunResult {
  int status = -1;  // exit code, or -1
  std::string out;
  std::string err;
};

// Runs argv[0] (an absolute path) with the current environment and collects
// stdout and stderr (read after the exit: the tools print little).
inline RunResult Run(const std::vector<std::string>& argv) {
  RunResult r;
  char outName[] = "/tmp/orvweb-run-out.XXXXXX";
  char errName[] = "/tmp/orvweb-run-err.XXXXXX";
  const int outFd = mkstemp(outName);
  const int errFd = mkstemp(errName);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(outFd);
  close(errFd);
  auto slurp = [](const char* name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  };
  r.out = slurp(outName);
  r.err = slurp(errName);
  unlink(outName);
  unlink(errName);
  return r;
}

// ffprobe's keys for the audio stream, the container and its tags
// ("codec_name", "sample_rate", "channels", "duration", "TAG:title", ...).
inline std::map<std::string, std::string> Probe(const std::filesystem::path& file) {
  const RunResult r = Run({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
                           "stream=codec_name,sample_rate,channels:format=format_name,duration:format_tags", "-of",
                           "default=noprint_wrappers=1", file.string()});
  std::map<std::string, std::string> keys;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return keys;
}

// True when ffmpeg decodes the whole file without a complaint.
inline bool DecodesCleanly(const std::filesystem::path& file, std::string* errors = nullptr) {
  const RunResult r = Run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f", "null", "-"});
  if (errors) *errors = r.err;
  return r.status == 0 && r.err.empty();
}

// Interleaved 16-bit sine.
inline std::vector<int16_t> Tone(int rate, int channels, double seconds, double hz, double amplitude) {
  const size_t frames = static_cast<size_t>(seconds * rate);
  std::vector<int16_t> pcm(frames * channels);
  for (size_t i = 0; i < frames; ++i) {
    const auto v = static_cast<int16_t>(std::lround(amplitude * 32767.0 * std::sin(2.0 * M_PI * hz * i / rate)));
    for (int c = 0; c < channels; ++c) pcm[i * channels + c] = v;
  }
  return pcm;
}

inline void WriteWav(const std::filesystem::path& file, const std::vector<int16_t>& pcm, int rate, int channels) {
  std::ofstream out(file, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t bytes = static_cast<uint32_t>(pcm.size() * 2);
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(static_cast<uint16_t>(channels));
  u32(static_cast<uint32_t>(rate));
  u32(static_cast<uint32_t>(rate * channels * 2));
  u16(static_cast<uint16_t>(channels * 2));
  u16(16);
  out.write("data", 4);
  u32(bytes);
  out.write(reinterpret_cast<const char*>(pcm.data()), bytes);
}

// A null sink of the test's own on the sound server PULSE_SERVER names, so
// what other tests play into a shared sink never mixes into what this one
// hears. `options` are further module arguments ("rate=44100", ...).
class ScopedNullSink {
 public:
  explicit ScopedNullSink(std::string name, const std::vector<std::string>& options = {}) : name_(std::move(name)) {
    std::vector<std::string> argv{"/usr/bin/pactl", "load-module", "module-null-sink", "sink_name=" + name_,
                                  "sink_properties=device.description=" + name_};
    argv.insert(argv.end(), options.begin(), options.end());
    module_ = Run(argv).out;
    while (!module_.empty() && std::isspace(static_cast<unsigned char>(module_.back()))) module_.pop_back();
  }
  ~ScopedNullSink() { Unload(); }
  ScopedNullSink(const ScopedNullSink&) = delete;
  ScopedNullSink& operator=(const ScopedNullSink&) = delete;
  void Unload() {
    if (!module_.empty()) Run({"/usr/bin/pactl", "unload-module", module_});
    module_.clear();
  }
  bool loaded() const { return !module_.empty(); }
  const std::string& name() const { return name_; }
  std::string monitor() const { return name_ + ".monitor"; }

 private:
  std::string name_;
  std::string module_;
};

}  // namespace media_tools
