// A recorder killed with SIGKILL five seconds into a song leaves a file that
// plays up to the kill and carries its names; the next start's repair gives
// it its real length in the header and drops the marker. With the split
// look-back on, the audio still waiting behind the file survives in the
// journal (0600, in the private state folder) and the repair appends it:
// either way the song plays to within half a second of the kill.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/lame/mp3_file.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/engine/recording_engine.h"
#include "test_support.h"
#include "tests/platform/asf/media_tools.h"

namespace {

namespace fs = std::filesystem;
using namespace orvweb;
using testing_support::ScopedEnv;
using testing_support::TempDir;

// Seconds of audio that ffmpeg decodes from the file.
double DecodedSeconds(const fs::path& file) {
  const auto r = media_tools::Run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f", "s16le",
                                   "-ac", "2", "-ar", "44100", "-"});
  return static_cast<double>(r.out.size()) / (44100.0 * 4);
}

struct CrashCase {
  int format;
  const char* extension;
  int splitSearchMs;  // the default when it is kDefaultSplitSearch
};

class CrashRepair : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashRepair, AKilledSongPlaysCarriesItsNamesAndIsRepairedAtTheNextStart) {
  const CrashCase c = GetParam();
  TempDir home;
  ScopedEnv homeEnv("HOME", home.path().string());
  ScopedEnv configEnv("XDG_CONFIG_HOME", (home.path() / "config").string());
  ScopedEnv stateEnv("XDG_STATE_HOME", (home.path() / "state").string());
  const fs::path songs = home.path() / "songs";
  WriteProfileString(kKeySongsFolder, platform::FromUtf8(songs.string()) + u"/");
  WriteProfileInt(kKeyMinSongLength, 3);
  if (c.splitSearchMs != kDefaultSplitSearch) WriteProfileInt(kKeySplitSearch, c.splitSearchMs);
  // Five seconds reach the file before the kill, behind the delayed audio.
  const int capturedSeconds = 5 + c.splitSearchMs / 1000;
  const fs::path song = songs / (std::string("Crash Artist - Crash Title") + c.extension);
  const fs::path ready = home.path() / "ready";

  {
    testing_support::Child child({(testing_support::SelfFolder() / "crash_song_child").string(),
                                  std::to_string(c.format), std::to_string(capturedSeconds), ready.string()});
    ASSERT_TRUE(testing_support::WaitUntil([&] { return fs::exists(ready); }, 60000)) << "the child never got going";
    if (c.splitSearchMs != 0) {
      // The journal: private to the user, like the folder it is in.
      std::vector<fs::path> journals;
      for (const auto& entry : fs::directory_iterator(SongMarkerPath().parent_path())) {
        if (entry.path().filename().string().rfind("orv.journal.", 0) == 0) journals.push_back(entry.path());
      }
      ASSERT_EQ(journals.size(), 1u);
      struct stat st {};
      ASSERT_EQ(::stat(journals[0].c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u);
      ASSERT_EQ(::stat(journals[0].parent_path().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 077, 0u);
    }
    child.Kill(SIGKILL);  // and reaped
  }
  // How much audio the child had captured when it died.
  int64_t framesAtKill = 0;
  std::ifstream(ready.string() + ".frames", std::ios::binary).read(reinterpret_cast<char*>(&framesAtKill), 8);
  const double killedAt = static_cast<double>(framesAtKill) / 44100.0;
  ASSERT_GE(killedAt, capturedSeconds);
  ASSERT_TRUE(fs::exists(song));
  // The child's marker, named after its run.
  const auto markers = [&] {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(home.path() / "state")) n += e.path().filename().string().rfind("orv.recording.", 0) == 0;
    return n;
  };
  ASSERT_EQ(markers(), 1u);

  // Right after the kill: it decodes cleanly to the last second and names the song.
  std::string errors;
  EXPECT_TRUE(media_tools::DecodesCleanly(song, &errors)) << errors;
  const double played = DecodedSeconds(song);
  EXPECT_GE(played, 4.0);
  if (c.format == kOutputFormatMp3) {
    auto tags = media_tools::Probe(song);
    EXPECT_EQ(tags["TAG:artist"], "Crash Artist");
    EXPECT_EQ(tags["TAG:title"], "Crash Title");
  }

  // The next start repairs it: the header tells the length that plays.
  CRecordingEngine engine(nullptr, EngineServices{});
  const SongRepair repair = engine.RepairInterruptedSong();
  EXPECT_TRUE(repair.found);
  EXPECT_TRUE(repair.repaired);
  EXPECT_FALSE(repair.tooShort);
  EXPECT_EQ(repair.name, platform::FromUtf8(song.filename().string()));
  EXPECT_EQ(markers(), 0u);
  ASSERT_TRUE(fs::exists(song));
  EXPECT_TRUE(media_tools::DecodesCleanly(song, &errors)) << errors;
  const double decoded = DecodedSeconds(song);
  EXPECT_GE(decoded, 4.0);
  std::printf("killed with %.3f s captured, the repaired file decodes to %.3f s\n", killedAt, decoded);
  // Nothing of what was captured is lost beyond half a second, none doubled.
  EXPECT_GE(decoded, killedAt - 0.5) << "killed at " << killedAt << " s";
  EXPECT_LE(decoded, killedAt + 0.1) << "killed at " << killedAt << " s";
  for (const auto& entry : fs::directory_iterator(SongMarkerPath().parent_path())) {
    EXPECT_NE(entry.path().filename().string().rfind("orv.journal.", 0), 0u) << "left behind: " << entry.path();
  }
  auto p = media_tools::Probe(song);
  EXPECT_NEAR(std::atof(p["duration"].c_str()), decoded, 0.5) << p["duration"];
  EXPECT_EQ(p["TAG:artist"], "Crash Artist");
  EXPECT_EQ(p["TAG:title"], "Crash Title");
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(songs), {}).size(), 1u);
  if (c.format == kOutputFormatMp3) {
    // The encoder's blank VBR frame now holds the frames that follow it.
    const auto scan = platform::lame::ScanMp3File(song.string());
    ASSERT_TRUE(scan);
    EXPECT_GT(scan->infoFrameBytes, 0u);
    EXPECT_FALSE(scan->infoFrameBlank);
    EXPECT_NEAR(scan->DurationMs() / 1000.0, decoded, 0.1);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, CrashRepair,
                         ::testing::Values(CrashCase{kOutputFormatMp3, ".mp3", 0}, CrashCase{kOutputFormatWma, ".wma", 0},
                                           CrashCase{kOutputFormatMp3, ".mp3", kDefaultSplitSearch},
                                           CrashCase{kOutputFormatWma, ".wma", kDefaultSplitSearch}),
                         [](const auto& info) {
                           return std::string(info.param.format == 1 ? "Mp3" : "Wma") +
                                  (info.param.splitSearchMs ? "LookBack" : "Direct");
                         });

}  // namespace
