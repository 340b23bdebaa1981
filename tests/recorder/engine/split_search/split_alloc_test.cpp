// The capture thread never allocates with the look-back on either: buffers
// go into the delay ring, delayed audio comes out into the encoder, and the
// "split can be decided" signal is posted; only the window thread's own work
// (the change itself, the split) is left out of the count.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/audio/fake_audio.h"
#include "platform/loop/fake_loop.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/engine/recording_engine.h"
#include "alloc_count.h"
#include "test_support.h"
#include "tests/recorder/engine/engine_fakes.h"

namespace {

using namespace orvweb;

class Owner : public platform::Window, public IEngineOwner {
 public:
  explicit Owner(platform::Loop& loop) : Window(loop) {}
  platform::Window* EngineWindow() override { return this; }
  bool ShowRecLevel() const override { return true; }
  void WriteLogId(int) override {}
};

TEST(SplitAllocation, TheDelayedSamplePathAllocatesNothing) {
  testing_support::TempDir home;
  testing_support::ScopedEnv homeEnv{"HOME", home.path().string()};
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", (home.path() / "config").string()};
  testing_support::ScopedEnv stateEnv{"XDG_STATE_HOME", (home.path() / "state").string()};
  WriteProfileString(kKeySongsFolder, platform::FromUtf8(home.path().string()) + u"/songs/");
  WriteProfileString(kKeySourceName, u"mic");
  WriteProfileInt(kKeyOutputFormat, kOutputFormatMp3);
  WriteProfileInt(kKeyMinSongLength, 0);

  platform::FakeLoop loop;
  Owner owner(loop);
  platform::audio::FakeAudioSystem audio;
  audio.AddDevice(platform::audio::FakeCaptureDevice::Make("mic", u"Mic", 1));
  engine_test::ManualClock clock(engine_test::kMarch5th2005);
  engine_test::FakeLame lame;
  lame.calls.reserve(100000);
  lame.encodeCounts.reserve(100000);
  lame.encodePointers.reserve(100000);
  lame.firstValues.reserve(100000);
  CRecordingEngine engine(&owner, EngineServices{&audio, nullptr, &clock}, lame.Table());
  ASSERT_EQ(engine.BuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"A", u"1", u""), 0);
  ASSERT_TRUE(engine.lookBackActive());

  // Loud song, a gap, the next song: 10 ms buffers, one of them misaligned.
  std::vector<int16_t> loud(882, 9000);
  std::vector<int16_t> quiet(882, 0);
  std::vector<uint8_t> odd(1765, 0x40);
  auto stream = audio.lastStream();
  auto deliver = [&](const std::vector<int16_t>& buffer, int times) {
    for (int i = 0; i < times; ++i) stream->Deliver(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size() * 2);
  };
  testsupport::alloc::Count(true);
  deliver(loud, 400);  // past the delay: the encoder is fed
  stream->Deliver(odd.data() + 1, 1764);
  deliver(quiet, 20);
  deliver(loud, 40);
  testsupport::alloc::Count(false);
  const int encodedBeforeChange = lame.encodeCalls.load();
  EXPECT_GT(encodedBeforeChange, 0);

  ASSERT_EQ(engine.SplitSong(u"A", u"2", u""), 0);
  ASSERT_TRUE(engine.splitPending());
  testsupport::alloc::Count(true);
  deliver(loud, 150);  // the ready signal is posted from the capture thread
  testsupport::alloc::Count(false);
  EXPECT_EQ(testsupport::alloc::Counted(), 0);

  loop.RunPending();  // the split, on the window thread
  EXPECT_FALSE(engine.splitPending());
  testsupport::alloc::Count(true);
  deliver(loud, 400);
  testsupport::alloc::Count(false);
  EXPECT_EQ(testsupport::alloc::Counted(), 0);
  EXPECT_GT(lame.encodeCalls.load(), encodedBeforeChange);
  EXPECT_EQ(engine.FinishSong(), 0);
}

}  // namespace
