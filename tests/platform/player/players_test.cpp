// orvweb-mpris-host with the built OrvWeb.so, fed by the radio players people
// listen with, each playing the rig's Icecast station while its titles
// change: every song, the station's first included, must reach the record as
// an author and title that the recorder's rules name "Artist - Title".
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "local_http_server.h"
#include "real_support.h"
#include "recorder/nowplaying/title_rules.h"

namespace {

using namespace real_support;
using orvweb::NowPlayingSnapshot;

constexpr const char* kStationName = "Radio Orv";
constexpr uid_t kNobody = 65534;

struct Song {
  const char* onAir;  // as Icecast's admin call takes it
  std::u16string artist, title;
};
const Song kSongs[] = {
    {"Ann%20-%20First", u"Ann", u"First"},
    {"Bob%20-%20Second", u"Bob", u"Second"},
    {"Cid%20-%20Third", u"Cid", u"Third"},
};

// A session bus of the test's own that also lets in a player run as another
// user (VLC refuses to run as root).
class OpenBus {
 public:
  OpenBus() : socket_(dir_.path() / "bus") {
    ::chmod(dir_.path().c_str(), 0755);
    const auto config = dir_.path() / "bus.conf";
    std::ofstream(config) << "<busconfig><type>session</type><listen>unix:path=" << socket_.string()
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                             "<allow own=\"*\"/></policy></busconfig>\n";
    daemon_ = std::make_unique<testing_support::BusDaemon>(socket_, config);
    env_ = std::make_unique<testing_support::ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", address());
    EXPECT_TRUE(daemon_->ready()) << "dbus-daemon did not start";
  }
  std::string address() const { return "unix:path=" + socket_.string(); }
  const std::filesystem::path& dir() const { return dir_.path(); }

 private:
  testing_support::TempDir dir_;
  std::filesystem::path socket_;
  std::unique_ptr<testing_support::BusDaemon> daemon_;
  std::unique_ptr<testing_support::ScopedEnv> env_;
};

std::string Named(const NowPlayingSnapshot& s) {
  std::u16string artist = s.item.author, title = s.item.title;
  NormalizeNowPlaying(artist, title);
  return Utf8(artist) + " - " + Utf8(title);
}

// The station on air with its first song, the plug-in registered, the host
// running: a test starts its player and calls ExpectEverySongNamedRight.
class StationTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(HasFailure());
    stream_.StartSource(kStationName);
    ASSERT_TRUE(stream_.WaitOnlineWithTitle(kSongs[0].onAir)) << "no Icecast source at " << stream_.url();
    ASSERT_EQ(real_support::Run({ORVWEB_HOST_PATH, "--register", ORVWEB_PLUGIN_PATH}), 0);
    host_ = std::make_unique<testing_support::Child>(std::vector<std::string>{ORVWEB_HOST_PATH});
  }
  void TearDown() override {
    if (host_) {
      host_->Kill(SIGTERM);
      EXPECT_EQ(host_->Wait(20000), 0);
    }
  }

  std::string SinkName() const { return sink_.device().substr(std::string("pulse/").size()); }

  // Each song in turn, and nothing in between that names the station as an
  // artist.
  void ExpectEverySongNamedRight() {
    std::set<std::string> seen;
    for (size_t i = 0; i < std::size(kSongs); ++i) {
      const Song& song = kSongs[i];
      SCOPED_TRACE(song.onAir);
      if (i > 0) {
        ASSERT_TRUE(stream_.SetTitle(song.onAir));
        if (onAir_) onAir_(song);
      }
      const std::string wanted = Utf8(song.artist) + " - " + Utf8(song.title);
      NowPlayingSnapshot last;
      EXPECT_TRUE(WaitForRecord(
          [&](const NowPlayingSnapshot& s) {
            seen.insert(Named(s));
            return Named(s) == wanted && s.playState == orvweb::kPlayStatePlaying;
          },
          last, 30000))
          << Describe(last) << " named '" << Named(last) << "'";
    }
    for (const std::string& name : seen) {
      EXPECT_NE(name.rfind(std::string(kStationName) + " - ", 0), 0u) << "the station was taken for an artist: " << name;
    }
  }

  PrivateSession session_;
  OpenBus bus_;
  PrivateSink sink_;
  IcecastStream stream_;
  std::unique_ptr<testing_support::Child> host_;
  std::function<void(const Song&)> onAir_;  // the station's own status page follows
};

// VLC names the stream's song in vlc:nowplaying and keeps the station as the
// title; it announces no title change, so the host reads it.
TEST_F(StationTest, Vlc) {
  std::vector<std::string> args;
  const auto home = bus_.dir() / "vlc-home";
  std::filesystem::create_directories(home);
  if (::getuid() == 0) {
    ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
    args = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  args.insert(args.end(), {"/usr/bin/env", "HOME=" + home.string(), "XDG_RUNTIME_DIR=", "XDG_CONFIG_HOME=",
                           "PULSE_SINK=" + SinkName(), "/usr/bin/vlc", "-I", "dummy", "--control", "dbus", "--aout",
                           "pulse", "--no-video", "--quiet", stream_.url()});
  testing_support::Child vlc(args);
  ExpectEverySongNamedRight();
  vlc.Kill(SIGTERM);
  vlc.Wait(20000);
}

}  // namespace

namespace {

// Audacious sends the stream's title as the title and the station as the
// artist; its MPRIS plug-in is on in a fresh configuration.
TEST_F(StationTest, Audacious) {
  const auto home = session_.dir() / "audacious-home";
  std::filesystem::create_directories(home / "config");
  testing_support::Child audacious({"/usr/bin/env", "HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / "config").string(),
                                    "PULSE_SINK=" + SinkName(), "/usr/bin/audacious", "--headless", stream_.url()});
  ExpectEverySongNamedRight();
  audacious.Kill(SIGTERM);
  audacious.Wait(20000);
}

}  // namespace

namespace {

// A station's web page: the stream in an <audio> element; while it starts,
// the station's name as the media session's title; once it plays, the
// station's status asked every second and the song set as the title with the
// station as the artist, as such pages do.
std::string RadioPage(const std::string& streamUrl) {
  return R"(<!doctype html><meta charset="utf-8"><title>Radio Orv</title>
<audio id="player" autoplay src=")" +
         streamUrl + R"("></audio>
<script>
const station = "Radio Orv";
navigator.mediaSession.metadata = new MediaMetadata({title: station});
async function poll() {
  try {
    const now = await (await fetch("status.json", {cache: "no-store"})).json();
    const shown = navigator.mediaSession.metadata;
    if (now.title && shown.title !== now.title) {
      navigator.mediaSession.metadata = new MediaMetadata({title: now.title, artist: station, album: now.genre});
    }
  } catch (e) {}
}
const player = document.getElementById("player");
player.addEventListener("playing", () => setInterval(poll, 1000), {once: true});
player.play().catch(() => {});
</script>
)";
}

testing_support::LocalHttpServer::Response Status(const Song& song) {
  testing_support::LocalHttpServer::Response response;
  response.body = R"({"title":")" + Utf8(song.artist) + " - " + Utf8(song.title) + R"(","genre":"Pop"})";
  response.headers = {{"Content-Type", "application/json"}};
  return response;
}

// Chromium gives the page's media session to MPRIS: no address, an endless
// length, the station as the artist.
class BrowserTest : public StationTest {
 protected:
  void SetUp() override {
    StationTest::SetUp();
    ASSERT_TRUE(stream_.WaitBurstFull());
    testing_support::LocalHttpServer::Response page;
    page.body = RadioPage(stream_.url());
    page.headers = {{"Content-Type", "text/html; charset=utf-8"}};
    site_.Route("/", page);
    site_.Route("/status.json", Status(kSongs[0]));
    onAir_ = [this](const Song& song) { site_.Route("/status.json", Status(song)); };
  }
  testing_support::LocalHttpServer site_;
};

TEST_F(BrowserTest, Chromium) {
  const auto home = session_.dir() / "chromium-home";
  std::filesystem::create_directories(home);
  testing_support::Child chromium({"/usr/bin/env", "HOME=" + home.string(), "DISPLAY=" + RigValue("DISPLAY"),
                                   "PULSE_SINK=" + SinkName(), "/usr/bin/chromium", "--no-sandbox",
                                   "--user-data-dir=" + (home / "profile").string(), "--no-first-run",
                                   "--no-default-browser-check", "--password-store=basic", "--disable-gpu",
                                   "--autoplay-policy=no-user-gesture-required", site_.Url("/")});
  ExpectEverySongNamedRight();
  chromium.Kill(SIGTERM);
  chromium.Wait(20000);
}

// Firefox ESR gives the page's media session the page's address and a short
// length; it plays with autoplay allowed in a profile of its own.
TEST_F(BrowserTest, FirefoxEsr) {
  const auto home = session_.dir() / "firefox-home";
  std::filesystem::create_directories(home / "profile");
  std::ofstream(home / "profile" / "user.js") << R"(user_pref("media.autoplay.default", 0);
user_pref("media.autoplay.blocking_policy", 0);
user_pref("media.hardwaremediakeys.enabled", true);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("browser.aboutwelcome.enabled", false);
)";
  testing_support::Child firefox({"/usr/bin/env", "HOME=" + home.string(), "DISPLAY=" + RigValue("DISPLAY"),
                                  "PULSE_SINK=" + SinkName(), "/usr/bin/firefox-esr", "-profile",
                                  (home / "profile").string(), "-no-remote", site_.Url("/")});
  ExpectEverySongNamedRight();
  firefox.Kill(SIGTERM);
  firefox.Wait(20000);
}

}  // namespace
