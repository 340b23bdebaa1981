// The channel between real processes: a writer process (channel_peer) and
// this test process as the reader.
#include <poll.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/ipc/ipc.h"
#include "platform/text/utf.h"
#include "shared/now_playing.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace orvweb;
using testing_support::Child;
using testing_support::ScopedEnv;
using testing_support::SelfFolder;
using testing_support::TempDir;
using testing_support::WaitUntil;

namespace {

class ChannelProcesses : public ::testing::Test {
 protected:
  // Every test gets its own runtime folder, so tests running side by side
  // never share a section.
  TempDir runtime;
  ScopedEnv xdg{"XDG_RUNTIME_DIR", runtime.path().string()};
  TempDir scratch;

  std::vector<std::string> Peer(std::vector<std::string> steps) {
    steps.insert(steps.begin(), (SelfFolder() / "channel_peer").string());
    return steps;
  }
  std::string Flag(const std::string& name) { return (scratch.path() / name).string(); }
  static bool WaitFile(const std::string& path) {
    return WaitUntil([&] { return fs::exists(path); }, 10000);
  }
  static std::vector<unsigned char> RawRecord() {
    std::vector<unsigned char> bytes(sizeof(NowPlayingRecord));
    EXPECT_EQ(platform::ipc::ReadSection(platform::ToUtf8(kNowPlayingSectionName), bytes.data(), bytes.size()),
              platform::ipc::SectionRead::Ok);
    return bytes;
  }
};

bool WaitNotice(platform::ipc::BroadcastListener& listener, int timeoutMs = 10000) {
  pollfd pfd{listener.fd(), POLLIN, 0};
  return ::poll(&pfd, 1, timeoutMs) == 1 && listener.Drain() > 0;
}

TEST_F(ChannelProcesses, ReaderSeesTheFullWriteAfterTheNoticeAndNothingAfterClose) {
  auto listener = platform::ipc::BroadcastListener::Create(NowPlayingMessageNameUtf8());
  ASSERT_TRUE(listener);
  Child writer(Peer({"open", "full", "3", "Bj\xC3\xB6rk", "J\xC3\xB3ga", "http://npv.example/x", "http://radio/1",
                     "ready", Flag("ready"), "hold"}));
  ASSERT_TRUE(WaitNotice(*listener));
  ASSERT_TRUE(WaitFile(Flag("ready")));

  NowPlayingSnapshot snap;
  ASSERT_EQ(ReadNowPlaying(snap), NowPlayingReadResult::Ok);
  EXPECT_EQ(snap.playState, 3);
  EXPECT_EQ(snap.item.author, u"Bj\u00F6rk");
  EXPECT_EQ(snap.item.title, u"J\u00F3ga");
  EXPECT_EQ(snap.item.npv, u"http://npv.example/x");
  EXPECT_EQ(snap.item.sourceUrl, u"http://radio/1");
  EXPECT_TRUE(NowPlayingPresent());

  writer.Kill(SIGTERM);
  ASSERT_EQ(writer.Wait(), 0);
  // The closing write posts one more notice; after it the section is gone.
  EXPECT_TRUE(WaitNotice(*listener));
  EXPECT_EQ(ReadNowPlaying(snap), NowPlayingReadResult::NotPresent);
  EXPECT_FALSE(NowPlayingPresent());
}

TEST_F(ChannelProcesses, StateWriteChangesOnlyTheFirstEightBytes) {
  Child writer(Peer({"open", "full", "3", "A", "B", "", "file:///m.mp3", "ready", Flag("one"), "wait", "state", "2",
                     "ready", Flag("two"), "hold"}));
  ASSERT_TRUE(WaitFile(Flag("one")));
  const auto before = RawRecord();
  writer.Kill(SIGUSR1);
  ASSERT_TRUE(WaitFile(Flag("two")));
  const auto after = RawRecord();

  int32_t state;
  std::memcpy(&state, after.data() + 4, 4);
  EXPECT_EQ(state, kPlayStatePaused);
  uint32_t size;
  std::memcpy(&size, after.data(), 4);
  EXPECT_EQ(size, 32008u);
  EXPECT_TRUE(std::equal(before.begin() + 8, before.end(), after.begin() + 8));
}

TEST_F(ChannelProcesses, SecondWriterFailsWhileTheFirstLivesAndLeavesItsRecord) {
  Child first(Peer({"open", "full", "3", "First", "Song", "", "u", "ready", Flag("first"), "hold"}));
  ASSERT_TRUE(WaitFile(Flag("first")));
  const auto before = RawRecord();
  Child second(Peer({"open", "full", "3", "Second", "Song", "", "u"}));
  EXPECT_EQ(second.Wait(), 3);
  EXPECT_EQ(RawRecord(), before);
}

TEST_F(ChannelProcesses, SectionOfAKilledWriterIsTakenOver) {
  Child first(Peer({"open", "full", "3", "Dead", "Writer", "", "u", "ready", Flag("first"), "hold"}));
  ASSERT_TRUE(WaitFile(Flag("first")));
  first.Kill(SIGKILL);
  // The file is still there, but no writer holds it.
  EXPECT_FALSE(NowPlayingPresent());
  NowPlayingSnapshot snap;
  EXPECT_EQ(ReadNowPlaying(snap), NowPlayingReadResult::NotPresent);

  Child second(Peer({"open", "full", "3", "New", "Writer", "", "u", "ready", Flag("second"), "hold"}));
  ASSERT_TRUE(WaitFile(Flag("second")));
  ASSERT_EQ(ReadNowPlaying(snap), NowPlayingReadResult::Ok);
  EXPECT_EQ(snap.item.author, u"New");
  EXPECT_EQ(snap.item.title, u"Writer");
}

TEST_F(ChannelProcesses, LongTitlesAreStoredWholeOrCutTo3999Units) {
  for (const auto& [units, stored] : {std::pair{3999, 3999}, std::pair{5000, 3999}}) {
    SCOPED_TRACE(units);
    const std::string flag = Flag("long" + std::to_string(units));
    Child writer(Peer({"open", "full-long", std::to_string(units), "ready", flag, "hold"}));
    ASSERT_TRUE(WaitFile(flag));
    NowPlayingSnapshot snap;
    ASSERT_EQ(ReadNowPlaying(snap), NowPlayingReadResult::Ok);
    EXPECT_EQ(snap.item.title, std::u16string(static_cast<size_t>(stored), u'x'));
    writer.Kill(SIGTERM);
    EXPECT_EQ(writer.Wait(), 0);
  }
}

TEST_F(ChannelProcesses, RecordIsAllZeroBeforeTheFirstFullWrite) {
  Child writer(Peer({"open", "ready", Flag("open"), "hold"}));
  ASSERT_TRUE(WaitFile(Flag("open")));
  const auto bytes = RawRecord();
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b == 0; }));
}

TEST_F(ChannelProcesses, NamedLockIsReleasedWhenItsHolderDies) {
  Child holder(Peer({"lock", "OrvWebRecorder.exe", "ready", Flag("locked"), "hold"}));
  ASSERT_TRUE(WaitFile(Flag("locked")));
  platform::ipc::NamedLock lock("OrvWebRecorder.exe");
  EXPECT_TRUE(platform::ipc::NamedLock::IsHeld("OrvWebRecorder.exe"));
  EXPECT_FALSE(lock.TryAcquire());
  Child second(Peer({"lock", "OrvWebRecorder.exe"}));
  EXPECT_EQ(second.Wait(), 4);
  holder.Kill(SIGKILL);
  EXPECT_TRUE(lock.TryAcquire());
}

}  // namespace
