// The capture thread must never allocate: this binary counts every operator
// new while buffers travel through the tap into the encoder and out as level
// messages posted through the loop.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "engine_fakes.h"
#include "platform/audio/fake_audio.h"
#include "platform/loop/fake_loop.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/engine/recording_engine.h"
#include "alloc_count.h"
#include "test_support.h"

namespace {

using namespace orvweb;

class Owner : public platform::Window, public IEngineOwner {
 public:
  explicit Owner(platform::Loop& loop) : Window(loop) {}
  platform::Window* EngineWindow() override { return this; }
  int levelMessages = 0;
  bool ShowRecLevel() const override { return true; }
  void WriteLogId(int) override {}

 protected:
  void OnMessage(uint32_t msg, uintptr_t, intptr_t) override { levelMessages += msg == kLevelMessage; }
};

// Entry points that only count: a recording fake would allocate itself.
Mp3EncoderTable CountingTable(std::atomic<long>& chunks) {
  Mp3EncoderTable t;
  t.beInitStream = [](const BE_CONFIG&, uint32_t& samples, uint32_t& size, HBE_STREAM& stream) {
    samples = 2304;
    size = 8640;
    stream = 1;
    return BE_ERR{0};
  };
  t.beEncodeChunk = [&chunks](HBE_STREAM, uint32_t count, const int16_t*, uint8_t* out, uint32_t& bytes) {
    chunks.fetch_add(1);
    bytes = count / 8;
    std::memset(out, 0xAB, bytes);
    return BE_ERR{0};
  };
  t.beDeinitStream = [](HBE_STREAM, uint8_t*, uint32_t& bytes) {
    bytes = 0;
    return BE_ERR{0};
  };
  t.beCloseStream = [](HBE_STREAM) { return BE_ERR{0}; };
  t.beVersion = [](BE_VERSION&) {};
  t.beWriteVBRHeader = [](HBE_STREAM, const std::string&) { return BE_ERR{0}; };
  return t;
}

TEST(SampleCallback, AllocatesNothingWhileEncodingMeasuringAndPosting) {
  testing_support::TempDir home;
  testing_support::ScopedEnv homeEnv{"HOME", home.path().string()};
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", (home.path() / "config").string()};
  WriteProfileString(kKeySongsFolder, platform::FromUtf8(home.path().string()) + u"/songs/");
  WriteProfileString(kKeySourceName, u"mic");
  WriteProfileInt(kKeyOutputFormat, kOutputFormatMp3);
  WriteProfileInt(kKeySplitSearch, 0);  // the plain path; the delayed one has its own test

  platform::FakeLoop loop;  // its posts allocate nothing, like the real loop's
  Owner owner(loop);
  platform::audio::FakeAudioSystem audio;
  audio.AddDevice(platform::audio::FakeCaptureDevice::Make("mic", u"Mic", 1));
  engine_test::ManualClock clock(engine_test::kMarch5th2005);
  std::atomic<long> chunks{0};
  CRecordingEngine engine(&owner, EngineServices{&audio, nullptr, &clock}, CountingTable(chunks));
  ASSERT_EQ(engine.BuildGraph(0), 0);
  ASSERT_EQ(engine.StartSong(u"Artist", u"Title", u""), 0);
  ASSERT_TRUE(engine.encodingActive());

  // Whole chunks, bigger and smaller deliveries, an odd byte count, a
  // misaligned buffer: every branch of the sample path.
  std::vector<int16_t> loud(20000, 12000);
  std::vector<uint8_t> bytes(10001, 0x40);
  auto stream = audio.lastStream();

  testsupport::alloc::Count(true);
  for (size_t count : {size_t{2304}, size_t{5000}, size_t{4410}, size_t{2304}, size_t{17}, size_t{20000}}) {
    stream->Deliver(reinterpret_cast<const uint8_t*>(loud.data()), count * 2);
  }
  stream->Deliver(bytes.data(), bytes.size());
  stream->Deliver(bytes.data() + 1, 5000);
  engine.SampleCB(0.0, reinterpret_cast<const uint8_t*>(loud.data()), 4608);  // on this thread too
  testsupport::alloc::Count(false);

  EXPECT_EQ(testsupport::alloc::Counted(), 0);
  loop.RunPending();
  EXPECT_EQ(owner.levelMessages, 9);
  EXPECT_GT(chunks.load(), 10);
  EXPECT_EQ(engine.FinishSong(), 0);
}

}  // namespace
