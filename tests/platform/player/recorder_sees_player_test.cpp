// The recorder's controller on the GLib loop, following a real player through
// orvweb-mpris-host and the built plug-in: a player that quits takes the
// plug-in with it, and the recorder says so; a player that comes back brings
// it back.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/html/memory_page.h"
#include "platform/loop/glib_loop.h"
#include "platform/shell/fake_message_box.h"
#include "platform/text/utf.h"
#include "real_support.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/controller/recorder_dlg.h"
#include "recorder/core/settings.h"
#include "tests/recorder/integration/real_controller_support.h"

namespace {

using namespace real_support;
using namespace orvweb;
using orvweb::real_controller::AddMainPageElements;
using orvweb::real_controller::DlgFakes;
using orvweb::real_controller::Script;

const char* MprisScript() {
  for (const char* path : {"/etc/mpv/scripts/mpris.so", "/usr/lib/mpv-mpris/mpris.so"}) {
    if (std::filesystem::exists(path)) return path;
  }
  ADD_FAILURE() << "mpv's MPRIS plug-in (package mpv-mpris) is missing";
  return "";
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

TEST(RecorderSeesPlayer, QuittingThePlayerIsReportedAsNoPluginAndStartingItAgainFindsIt) {
  PrivateSession session;
  PrivateBus bus(session.dir());
  PrivateSink sink;
  ASSERT_FALSE(HasFailure());
  testing_support::ScopedEnv homeEnv("HOME", session.dir().string());
  testing_support::ScopedEnv stateEnv("XDG_STATE_HOME", (session.dir() / "state").string());
  testing_support::ScopedEnv languageEnv("LANGUAGE", "en");
  testing_support::ScopedEnv noticeEnv("ORVWEB_NOTICE_BASE", "http://127.0.0.1:9/notice");
  testing_support::ScopedEnv noProxy("no_proxy", "127.0.0.1");
  WriteProfileString(kKeySourceName, platform::FromUtf8(sink.device().substr(6) + ".monitor"));
  WriteProfileInt(kKeySourceInput, 0);
  WriteProfileString(kKeySongsFolder, platform::FromUtf8((session.dir() / "songs").string()) + u"/");

  const auto song = TaggedFile(session.dir(), "song.mp3", "Ann", "First Song", 120, 440);
  ASSERT_EQ(real_support::Run({ORVWEB_HOST_PATH, "--register", ORVWEB_PLUGIN_PATH}), 0);
  testing_support::Child host({ORVWEB_HOST_PATH});
  const auto ipc = session.dir() / "mpv.sock";
  auto args = MpvArgs(ipc, sink);
  args.push_back(std::string("--script=") + MprisScript());
  args.push_back(song.string());

  platform::GlibLoop loop;
  auto audio = platform::audio::MakePulseAudioSystem();
  DlgFakes fakes;
  COrvWebRecorderDlg dlg(loop, fakes.Services(*audio));
  platform::html::MemoryPage page;
  AddMainPageElements(page);
  ASSERT_EQ(dlg.OnUiLoaded(&page), 0);

  const std::string detected = platform::ToUtf8(LoadMessage(IDS_PLUGIN_DETECTED));
  const std::string notDetected = platform::ToUtf8(LoadMessage(IDS_PLUGIN_NOT_DETECTED));
  auto log = [&] { return platform::ToUtf8(dlg.log().Contents()); };
  std::vector<std::unique_ptr<testing_support::Child>> players;
  auto startPlayer = [&] { players.push_back(std::make_unique<testing_support::Child>(args)); };

  Script steps(loop,
               {
                   {"not detected without a player", [&] { return Count(log(), notDetected) == 1; }, startPlayer},
                   {"detected with the player",
                    [&] { return Count(log(), detected) == 1 && page.Find("NowPlaying")->text == u"Ann - First Song"; },
                    [&] { EXPECT_TRUE(MpvCommand(ipc, R"({"command":["quit"]})")); }},
                   {"not detected once the player quit", [&] { return Count(log(), notDetected) == 2; }, startPlayer},
                   {"detected again with the record back",
                    [&] {
                      NowPlayingSnapshot record;
                      return Count(log(), detected) == 2 && ReadNowPlaying(record) == NowPlayingReadResult::Ok &&
                             record.item.title == u"First Song" && record.playState == kPlayStatePlaying;
                    },
                    nullptr},
               },
               {.totalMs = 60000});
  steps.Start();
  loop.Run();
  EXPECT_EQ(steps.stuck(), nullptr) << steps.stuck() << "\n" << log();
  dlg.OnDestroy();

  for (auto& player : players) player->Kill(SIGTERM);
  for (auto& player : players) player->Wait(20000);
  host.Kill(SIGTERM);
  EXPECT_EQ(host.Wait(20000), 0);
}

}  // namespace
