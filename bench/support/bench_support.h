#pragma once
// Small pieces the benchmark programs share: the process's memory figures,
// the report line of a series of song splits and the WAV files they play.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// Interleaved 16-bit stereo PCM as a WAV file; false when it could not be written.
inline bool WriteStereoWav16(const std::string& file, const std::vector<int16_t>& stereo, uint32_t rate) {
  std::ofstream out(file, std::ios::binary);
  const auto bytes = static_cast<uint32_t>(stereo.size() * 2);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4), u32(36 + bytes), out.write("WAVEfmt ", 8), u32(16), u16(1), u16(2), u32(rate),
      u32(rate * 4), u16(4), u16(16), out.write("data", 4), u32(bytes);
  out.write(reinterpret_cast<const char*>(stereo.data()), bytes);
  return static_cast<bool>(out);
}

// A "Vm...:" figure of /proc/self/status in KiB; -1 when absent.
inline long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  }
  return -1;
}

// Runs a shell command; its exit status as pclose gives it, -1 when it could
// not start. The output goes to out when asked for.
inline int RunCommand(const std::string& command, std::string* out = nullptr) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buffer[256];
  std::string text;
  while (fgets(buffer, sizeof buffer, p)) text += buffer;
  if (out) *out = text;
  return pclose(p);
}

// The words as one command line, each single-quoted.
inline std::string ShellWords(const std::vector<std::string>& words) {
  std::string command;
  for (const auto& w : words) command += "'" + w + "' ";
  return command;
}

// "what  mean x ms, min y, max z (n splits)", or "n/a" without figures.
inline void ReportSplits(const char* what, std::vector<double> ms) {
  if (ms.empty()) {
    std::printf("%-40s n/a\n", what);
    return;
  }
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double x : ms) sum += x;
  std::printf("%-40s mean %.3f ms, min %.3f, max %.3f (%zu splits)\n", what, sum / ms.size(), ms.front(), ms.back(),
              ms.size());
}

// Memory figures taken while recording (before anything was stopped).
struct Resident {
  long rss = StatusKb("VmRSS:");
  long hwm = StatusKb("VmHWM:");
};

inline void ReportResidentMemory(const Resident& memory) {
  std::printf("(d) resident memory while recording      %ld KiB (peak %ld KiB)\n", memory.rss, memory.hwm);
}

}  // namespace bench
