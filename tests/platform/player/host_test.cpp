// orvweb-mpris-host with the built OrvWeb.so, fed by a real MPRIS player
// (mpv with its MPRIS plug-in) on the rig's session bus.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/player/mpris.h"
#include "real_support.h"

namespace {

using namespace real_support;
using orvweb::NowPlayingSnapshot;

const char* MprisScript() {
  for (const char* path : {"/etc/mpv/scripts/mpris.so", "/usr/lib/mpv-mpris/mpris.so"}) {
    if (std::filesystem::exists(path)) return path;
  }
  ADD_FAILURE() << "mpv's MPRIS plug-in (package mpv-mpris) is missing";
  return "";
}

std::string HostProgram() { return ORVWEB_HOST_PATH; }

TEST(MprisHost, RecordFollowsTheTracksAndPauseOfAnMprisPlayer) {
  PrivateSession session;
  PrivateBus bus(session.dir());
  PrivateSink sink;
  ASSERT_FALSE(HasFailure());
  const auto first = TaggedFile(session.dir(), "first.mp3", "Ann", "First Song", 60, 440);
  const auto second = TaggedFile(session.dir(), "second.mp3", "Bob", "Second Song", 60, 660);
  auto notices = platform::ipc::BroadcastListener::Create(orvweb::NowPlayingMessageNameUtf8());
  ASSERT_TRUE(notices);

  EXPECT_FALSE(platform::player::FindPlayerWindow());

  // The host runs before the plug-in is registered: the registration's
  // broadcast makes it look again.
  testing_support::Child host({HostProgram()});
  const auto ipc = session.dir() / "mpv.sock";
  auto args = MpvArgs(ipc, sink);
  args.push_back(std::string("--script=") + MprisScript());
  args.push_back(first.string());
  args.push_back(second.string());
  testing_support::Child mpv(args);
  EXPECT_TRUE(testing_support::WaitUntil([] { return platform::player::FindPlayerWindow(); }, 15000));
  EXPECT_FALSE(orvweb::NowPlayingPresent());
  ASSERT_EQ(real_support::Run({HostProgram(), "--register", ORVWEB_PLUGIN_PATH}), 0);

  NowPlayingSnapshot last;
  ASSERT_TRUE(WaitForRecord([](const NowPlayingSnapshot& s) { return s.item.title == u"First Song"; }, last))
      << Describe(last);
  EXPECT_EQ(last.item.author, u"Ann");
  EXPECT_EQ(last.playState, orvweb::kPlayStatePlaying);
  EXPECT_NE(Utf8(last.item.sourceUrl).find("first.mp3"), std::string::npos) << Describe(last);

  ASSERT_TRUE(MpvCommand(ipc, R"({"command":["set_property","pause",true]})"));
  ASSERT_TRUE(WaitForRecord([](const NowPlayingSnapshot& s) { return s.playState == orvweb::kPlayStatePaused; }, last))
      << Describe(last);
  EXPECT_EQ(last.item.title, u"First Song");
  ASSERT_TRUE(MpvCommand(ipc, R"({"command":["set_property","pause",false]})"));
  ASSERT_TRUE(
      WaitForRecord([](const NowPlayingSnapshot& s) { return s.playState == orvweb::kPlayStatePlaying; }, last));
  EXPECT_EQ(last.item.author, u"Ann");

  notices->Drain();
  ASSERT_TRUE(MpvCommand(ipc, R"({"command":["playlist-next"]})"));
  ASSERT_TRUE(WaitForRecord([](const NowPlayingSnapshot& s) { return s.item.title == u"Second Song"; }, last))
      << Describe(last);
  EXPECT_EQ(last.item.author, u"Bob");
  EXPECT_EQ(last.playState, orvweb::kPlayStatePlaying);
  // One item change for one track change, whatever the player re-sends
  // around it (a state write may follow when the player passes through
  // another status).
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const int around = notices->Drain();
  EXPECT_GE(around, 1);
  EXPECT_LE(around, 3);

  host.Kill(SIGTERM);
  EXPECT_EQ(host.Wait(20000), 0);
  // After the host's closing write the record shows state 8, or (usually)
  // is gone with the plug-in.
  NowPlayingSnapshot after;
  const auto result = orvweb::ReadNowPlaying(after);
  if (result == orvweb::NowPlayingReadResult::Ok) {
    EXPECT_EQ(after.playState, orvweb::kPlayStateMediaEnded);
  } else {
    EXPECT_EQ(result, orvweb::NowPlayingReadResult::NotPresent);
  }
  EXPECT_GE(notices->Drain(), 1);

  mpv.Kill(SIGTERM);
  mpv.Wait(20000);
  EXPECT_TRUE(testing_support::WaitUntil([] { return !platform::player::FindPlayerWindow(); }, 15000));
}

}  // namespace

namespace {

TEST(MprisHost, AStreamsRepeatedMetadataMakesNoItemChange) {
  PrivateSession session;
  PrivateBus bus(session.dir());
  PrivateSink sink;
  IcecastStream stream;
  ASSERT_FALSE(HasFailure());
  stream.StartSource();
  ASSERT_TRUE(stream.WaitOnlineWithTitle("Ann%20-%20First")) << "no Icecast source at " << stream.url();
  ASSERT_EQ(real_support::Run({HostProgram(), "--register", ORVWEB_PLUGIN_PATH}), 0);
  testing_support::Child host({HostProgram()});

  const auto ipc = session.dir() / "mpv.sock";
  auto args = MpvArgs(ipc, sink);
  args.push_back(std::string("--script=") + MprisScript());
  args.push_back(stream.url());
  testing_support::Child mpv(args);

  NowPlayingSnapshot last;
  ASSERT_TRUE(WaitForRecord([](const NowPlayingSnapshot& s) { return s.item.title == u"Ann - First"; }, last))
      << Describe(last);
  EXPECT_EQ(last.item.author, u"");
  EXPECT_EQ(last.playState, orvweb::kPlayStatePlaying);

  // The player re-sends Metadata while the stream plays (its length grows);
  // the same texts are no news for the recorder.
  auto notices = platform::ipc::BroadcastListener::Create(orvweb::NowPlayingMessageNameUtf8());
  ASSERT_TRUE(notices);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(notices->Drain(), 0);

  ASSERT_TRUE(stream.SetTitle("Bob%20-%20Second"));
  ASSERT_TRUE(WaitForRecord([](const NowPlayingSnapshot& s) { return s.item.title == u"Bob - Second"; }, last))
      << Describe(last);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(notices->Drain(), 1);

  host.Kill(SIGTERM);
  EXPECT_EQ(host.Wait(20000), 0);
  mpv.Kill(SIGTERM);
  mpv.Wait(20000);
}

}  // namespace

namespace {

// The section's file, opened while a writer holds it: what it held last
// stays readable through the descriptor after the writer removed it.
platform::ipc::Fd OpenSectionFile() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const auto path = std::filesystem::path(runtime ? runtime : "") / "F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE";
  return platform::ipc::Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

TEST(MprisHost, ThePluginLivesWhileAPlayerIsOnTheBus) {
  PrivateSession session;
  PrivateBus bus(session.dir());
  PrivateSink sink;
  ASSERT_FALSE(HasFailure());
  const auto song = TaggedFile(session.dir(), "song.mp3", "Ann", "First Song", 60, 440);
  ASSERT_EQ(real_support::Run({HostProgram(), "--register", ORVWEB_PLUGIN_PATH}), 0);
  testing_support::Child host({HostProgram()});
  auto notices = platform::ipc::BroadcastListener::Create(orvweb::NowPlayingMessageNameUtf8());
  ASSERT_TRUE(notices);
  const auto ipc = session.dir() / "mpv.sock";
  auto args = MpvArgs(ipc, sink);
  args.push_back(std::string("--script=") + MprisScript());
  args.push_back(song.string());

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    // No player, no plug-in.
    EXPECT_FALSE(orvweb::NowPlayingPresent());
    testing_support::Child mpv(args);
    NowPlayingSnapshot last;
    ASSERT_TRUE(WaitForRecord([](const NowPlayingSnapshot& s) { return s.item.title == u"First Song"; }, last))
        << Describe(last);
    EXPECT_EQ(last.playState, orvweb::kPlayStatePlaying);

    platform::ipc::Fd reader = OpenSectionFile();
    ASSERT_TRUE(reader);
    notices->Drain();
    ASSERT_TRUE(MpvCommand(ipc, R"({"command":["quit"]})"));
    EXPECT_EQ(mpv.Wait(20000), 0);
    // The player's leaving is noticed on the bus at once; the section goes
    // with the plug-in within the two seconds the recorder may take to look.
    EXPECT_TRUE(testing_support::WaitUntil([] { return !orvweb::NowPlayingPresent(); }, 2000));
    EXPECT_GE(notices->Drain(), 1);
    orvweb::NowPlayingRecord record{};
    ASSERT_EQ(::pread(reader.get(), &record, sizeof record, 0), static_cast<ssize_t>(sizeof record));
    const NowPlayingSnapshot closing = orvweb::DecodeNowPlaying(record);
    EXPECT_EQ(closing.playState, orvweb::kPlayStateMediaEnded) << Describe(closing);
    EXPECT_EQ(closing.item.title, u"First Song");
    EXPECT_EQ(closing.item.author, u"Ann");
  }

  host.Kill(SIGTERM);
  EXPECT_EQ(host.Wait(20000), 0);
  EXPECT_FALSE(orvweb::NowPlayingPresent());
}

}  // namespace
