// The journal behind the look-back ring, read back as the next start would
// after the run died: a copy of the file under the name of a run that is
// over stands in for a killed recorder. What it hands the repair must be
// exactly the frames captured and never handed to the song's encoder (for
// WMA with the block before them as priming), across the ring's wrap.
#include "recorder/engine/split_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/files/files.h"
#include "platform/shell/folders.h"
#include "recorder/core/settings.h"
#include "recorder/engine/split_feed.h"
#include "recorder/engine/split_search.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using orvweb::PcmSink;
using orvweb::SplitDelayLine;

constexpr uint32_t kRate = 44100;

platform::audio::WaveFormat Stereo() { return {1, 2, kRate, kRate * 4, 4, 16, 0}; }

// Frame i holds (i, -i) modulo 30000, so any frame shows where it came from.
std::vector<int16_t> Ramp(uint64_t from, uint64_t frames) {
  std::vector<int16_t> pcm;
  for (uint64_t i = from; i < from + frames; ++i) {
    pcm.push_back(static_cast<int16_t>(i % 30000));
    pcm.push_back(static_cast<int16_t>(-static_cast<int>(i % 30000)));
  }
  return pcm;
}

struct Drop : PcmSink {
  void WritePcm(const int16_t*, size_t) override {}
};

std::vector<fs::path> Journals() {
  std::vector<fs::path> found;
  for (const auto& e : fs::directory_iterator(platform::shell::StateFolder())) {
    if (e.path().filename().string().rfind("orv.journal.", 0) == 0) found.push_back(e.path());
  }
  return found;
}

// The live journal copied under the name of a run that has ended.
fs::path AsDeadRun(const fs::path& live, int n) {
  const platform::files::ProcessInstance dead{"boot-that-is-over", 4242, 7};
  const fs::path copy = live.parent_path() / ("orv.journal." + dead.Tag() + "." + std::to_string(n));
  fs::copy_file(live, copy);
  return copy;
}

class Journal : public ::testing::Test {
 protected:
  testing_support::TempDir home;
  testing_support::ScopedEnv stateEnv{"XDG_STATE_HOME", (home.path() / "state").string()};
};

TEST_F(Journal, HandsTheRepairExactlyTheFramesNeverWrittenAcrossTheWrap) {
  struct Case {
    const char* what;
    int format;
    uint64_t captured;  // frames fed in all
    uint64_t drainedTo; // the song file got the frames before this
    size_t priming;     // frames before them for the encoder's first block
  };
  const size_t wmaPriming = orvweb::WmaPrimingFrames(kRate);
  const std::vector<Case> cases = {
      {"MP3, nothing drained yet", orvweb::kOutputFormatMp3, 30000, 0, 0},
      {"MP3, the ring wrapped twice", orvweb::kOutputFormatMp3, 900000, 900000 - 130000, 0},
      {"WMA, a block of priming", orvweb::kOutputFormatWma, 900000, 900000 - 130000, wmaPriming},
      {"WMA, less held before it", orvweb::kOutputFormatWma, 1000, 600, 600},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string song = (home.path() / "songs" / "A - B.x").string();
    fs::path dead;
    {
      SplitDelayLine line;
      line.Configure(Stereo(), 3000, /*journaled=*/true);
      ASSERT_TRUE(line.journaled());
      line.SetJournalSong(song, c.format);
      line.RequestSplit();  // holds everything back but what overflows
      Drop drop;
      for (uint64_t at = 0; at < c.captured; at += 441) {
        const uint64_t n = std::min<uint64_t>(441, c.captured - at);
        const auto pcm = Ramp(at, n);
        line.Process(reinterpret_cast<const uint8_t*>(pcm.data()), n, drop);
      }
      line.DecideSplit();
      line.DrainTo(c.drainedTo, drop);
      ASSERT_EQ(line.read(), c.drainedTo);
      const auto live = Journals();
      ASSERT_EQ(live.size(), 1u);
      struct stat st {};
      ASSERT_EQ(::stat(live[0].c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u);
      EXPECT_FALSE(orvweb::FindJournalTail(song, c.format)) << "a live run's journal is never taken";
      dead = AsDeadRun(live[0], n++);
    }
    EXPECT_EQ(Journals(), std::vector<fs::path>{dead}) << "the line's own journal goes with it";
    EXPECT_FALSE(orvweb::FindJournalTail(song + "x", c.format)) << "another song's";
    EXPECT_FALSE(orvweb::FindJournalTail(song, 3 - c.format)) << "another format's";
    const auto tail = orvweb::FindJournalTail(song, c.format);
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->primingFrames, c.priming);
    EXPECT_EQ(tail->format.channels, 2);
    EXPECT_EQ(tail->format.samplesPerSec, kRate);
    EXPECT_EQ(tail->pcm, Ramp(c.drainedTo - c.priming, c.captured - c.drainedTo + c.priming));
    fs::remove(dead);
  }
}

TEST_F(Journal, ANewJournalClearsWhatNoRepairCanUseAndKeepsWhatOneCan) {
  const fs::path songs = home.path() / "songs";
  fs::create_directories(songs);
  std::ofstream(songs / "kept.mp3") << "x";
  struct Case {
    const char* what;
    std::string song;
    bool drained;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"unread audio of a song that is there", (songs / "kept.mp3").string(), false, true},
      {"everything written", (songs / "kept.mp3").string(), true, false},
      {"its song is gone", (songs / "gone.mp3").string(), false, false},
      {"no song", "", false, false},
  };
  std::vector<fs::path> dead;
  for (size_t i = 0; i < cases.size(); ++i) {
    SplitDelayLine line;
    line.Configure(Stereo(), 1000, /*journaled=*/true);
    line.SetJournalSong(cases[i].song, orvweb::kOutputFormatMp3);
    Drop drop;
    const auto pcm = Ramp(0, 441);
    line.Process(reinterpret_cast<const uint8_t*>(pcm.data()), 441, drop);
    if (cases[i].drained) line.DrainAll(drop);
    fs::path live;
    for (const fs::path& j : Journals()) {
      if (j.string().find("boot-that-is-over") == std::string::npos) live = j;
    }
    dead.push_back(AsDeadRun(live, static_cast<int>(i)));
  }
  SplitDelayLine next;
  next.Configure(Stereo(), 1000, /*journaled=*/true);
  ASSERT_TRUE(next.journaled());
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(fs::exists(dead[i]), cases[i].kept) << cases[i].what;
  struct stat st {};
  ASSERT_EQ(::stat(platform::shell::StateFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << "the state folder it made";
}

}  // namespace
