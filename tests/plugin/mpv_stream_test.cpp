// mpv hosts OrvWeb.so as a C plug-in while it plays a local Icecast stream
// whose title changes; the record is read from this (another) process.
#include <gtest/gtest.h>
#include <signal.h>

#include "real_support.h"

namespace {

using namespace real_support;
using orvweb::NowPlayingSnapshot;

TEST(MpvCPlugin, PublishesTheStreamTitlesAndPauseAndClosesOnQuit) {
  PrivateSession session;
  PrivateSink sink;
  IcecastStream stream;
  ASSERT_FALSE(HasFailure());
  stream.StartSource();
  ASSERT_TRUE(stream.WaitOnlineWithTitle("Ann%20-%20First")) << "no Icecast source at " << stream.url();

  const auto ipc = session.dir() / "mpv.sock";
  auto args = MpvArgs(ipc, sink);
  args.push_back(std::string("--script=") + ORVWEB_PLUGIN_PATH);
  args.push_back(stream.url());
  testing_support::Child mpv(args);

  NowPlayingSnapshot last;
  ASSERT_TRUE(WaitForRecord([](const NowPlayingSnapshot& s) { return s.item.title == u"Ann - First"; }, last))
      << Describe(last);
  EXPECT_EQ(last.playState, orvweb::kPlayStatePlaying);
  EXPECT_EQ(last.item.author, u"");  // a stream carries "Artist - Title" as one text
  EXPECT_EQ(Utf8(last.item.sourceUrl), stream.url());

  // Icecast repeats the title in the stream; only a new one is news.
  auto notices = platform::ipc::BroadcastListener::Create(orvweb::NowPlayingMessageNameUtf8());
  ASSERT_TRUE(notices);
  ASSERT_TRUE(stream.SetTitle("Bob%20-%20Second"));
  ASSERT_TRUE(WaitForRecord([](const NowPlayingSnapshot& s) { return s.item.title == u"Bob - Second"; }, last))
      << Describe(last);
  EXPECT_EQ(notices->Drain(), 1);

  ASSERT_TRUE(MpvCommand(ipc, R"({"command":["set_property","pause",true]})"));
  ASSERT_TRUE(WaitForRecord([](const NowPlayingSnapshot& s) { return s.playState == orvweb::kPlayStatePaused; }, last))
      << Describe(last);
  EXPECT_EQ(last.item.title, u"Bob - Second");
  ASSERT_TRUE(MpvCommand(ipc, R"({"command":["set_property","pause",false]})"));
  ASSERT_TRUE(
      WaitForRecord([](const NowPlayingSnapshot& s) { return s.playState == orvweb::kPlayStatePlaying; }, last));
  EXPECT_EQ(notices->Drain(), 2);  // pause and resume, texts unchanged

  mpv.Kill(SIGTERM);
  EXPECT_EQ(mpv.Wait(20000), 4);  // mpv's exit code for a quit by signal
  // The closing write happened and the section went with the plug-in.
  NowPlayingSnapshot after;
  EXPECT_EQ(orvweb::ReadNowPlaying(after), orvweb::NowPlayingReadResult::NotPresent);
  EXPECT_GE(notices->Drain(), 1);
}

}  // namespace
