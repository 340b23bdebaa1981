// The real recorder under the rig's X server, D-Bus and PulseAudio, driven
// as a person drives it: xdotool clicks and drags on its windows. The program
// reports what it shows through ORVWEB_UI_TRACE (documents, events, writes,
// element positions); screenshots of both windows are kept as artefacts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "local_http_server.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "sni_watcher.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::WaitUntil;

constexpr char kMain[] = "Orvello Web Edition";
constexpr char kOptions[] = "Orvello Options";
// The first start of a web process after installing is slow.
constexpr int kStartMs = 60000;
constexpr int kStepMs = 15000;

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    std::array<char, 512> buf{};
    while (size_t n = std::fread(buf.data(), 1, buf.size(), pipe)) out.append(buf.data(), n);
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Point {
  int x = -1, y = -1;
};

class RecorderGui : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY") || !std::getenv("PULSE_SERVER") || !std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
      GTEST_SKIP() << "needs the rig (scripts/rig start)";
    }
    if (Shell("command -v xdotool").empty() || Shell("command -v import").empty()) GTEST_SKIP() << "needs xdotool and import";
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    fs::create_directories(songs);
    orvweb::WriteProfileString(orvweb::kKeySourceName, u"rec_sink.monitor");
    orvweb::WriteProfileInt(orvweb::kKeySourceInput, 0);
    orvweb::WriteProfileInt(orvweb::kKeyFirstRun, 0);
    orvweb::WriteProfileInt(orvweb::kKeyOutputFormat, 1);
    orvweb::WriteProfileString(orvweb::kKeySongsFolder, platform::FromUtf8(songs.string() + "/"));
  }

  void TearDown() override { Stop(); }

  void Start() {
    child = std::make_unique<testing_support::Child>(std::vector<std::string>{
        "/usr/bin/env", "ORVWEB_UI_TRACE=" + trace.string(), "GDK_BACKEND=x11", "NO_AT_BRIDGE=1",
        "ORVWEB_NOTICE_BASE=http://127.0.0.1:9/n", "ORVWEB_UPDATE_BASE=http://127.0.0.1:9", ORVWEB_RECORDER_PROGRAM});
  }

  // Ends the program as the desktop does; it ends the player host it started.
  int Stop() {
    if (!child) return -1;
    int status = child->Wait(0);
    if (status < 0) {
      child->Kill(SIGTERM);
      status = child->Wait(20000);
    }
    child.reset();
    return status;
  }

  std::vector<std::string> TraceLines() const {
    std::vector<std::string> lines;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Lines starting with caption + "\t" + prefix.
  std::vector<std::string> Traced(const std::string& caption, const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& line : TraceLines()) {
      if (line.rfind(caption + "\t" + prefix, 0) == 0) found.push_back(line.substr(caption.size() + 1 + prefix.size()));
    }
    return found;
  }
  size_t Count(const std::string& caption, const std::string& prefix) const { return Traced(caption, prefix).size(); }
  bool WaitTrace(const std::string& caption, const std::string& prefix, size_t after = 0, int ms = kStepMs) {
    return WaitUntil([&] { return Count(caption, prefix) > after; }, ms);
  }
  bool LogShows(const std::string& text, int ms = kStepMs) {
    return WaitUntil(
        [&] {
          for (const auto& v : Traced(kMain, "write\tvalue\tLog\t"))
            if (v.find(text) != std::string::npos) return true;
          return false;
        },
        ms);
  }

  // The element's centre in window coordinates, from the last document's positions.
  Point Where(const std::string& caption, const std::string& id) {
    const auto all = Traced(caption, "rects\t");
    if (all.empty()) return {};
    std::stringstream items(all.back());
    for (std::string item; std::getline(items, item, ';');) {
      std::stringstream fields(item);
      std::string name;
      Point p;
      fields >> name >> p.x >> p.y;
      if (name == id) return p;
    }
    return {};
  }

  // The program's window with this title (its _NET_WM_PID is the program's);
  // with `dialog`, only one the window manager is told is a dialog.
  std::string Window(const std::string& title, int ms = kStepMs, bool dialog = false) {
    std::string found;
    WaitUntil(
        [&] {
          const std::string ids = Shell("xdotool search --onlyvisible --name " + Quote("^" + title + "$") + " 2>/dev/null");
          std::stringstream list(ids);
          for (std::string id; std::getline(list, id);) {
            if (Shell("xdotool getwindowpid " + id + " 2>/dev/null") == std::to_string(child->pid()) &&
                (!dialog || Shell("xprop -id " + id + " _NET_WM_WINDOW_TYPE 2>/dev/null")
                                    .find("_NET_WM_WINDOW_TYPE_DIALOG") != std::string::npos)) {
              found = id;
              return true;
            }
          }
          return false;
        },
        ms);
    return found;
  }
  void Click(const std::string& window, Point p) {
    ASSERT_GE(p.x, 0) << "no such element";
    // Raised first: a click lands on whatever window is on top at that spot.
    Shell("xdotool windowraise " + window + " mousemove --window " + window + " " + std::to_string(p.x) + " " +
          std::to_string(p.y) + " click 1");
  }
  Point Origin(const std::string& window) {
    std::stringstream out(Shell("xdotool getwindowgeometry --shell " + window));
    Point p;
    for (std::string line; std::getline(out, line);) {
      if (line.rfind("X=", 0) == 0) p.x = std::stoi(line.substr(2));
      if (line.rfind("Y=", 0) == 0) p.y = std::stoi(line.substr(2));
    }
    return p;
  }
  void Screenshot(const std::string& window, const std::string& name) {
    const fs::path dir = fs::path(ORVWEB_ARTEFACT_DIR);
    fs::create_directories(dir);
    Shell("import -window " + window + " " + Quote((dir / name).string()));
  }
  std::vector<fs::path> SongFiles() const {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(songs, ec)) files.push_back(e.path());
    return files;
  }
  // The program's message box: titled as the main window, but a dialog. The
  // main window may still be on screen as the box comes up, even when the
  // program hides it first.
  std::string MessageBoxWindow(int ms = kStepMs) { return Window(kMain, ms, true); }
  // Presses the only button of a message box (the bottom row of the box).
  void PressBoxButton(const std::string& box) {
    std::stringstream out(Shell("xdotool getwindowgeometry --shell " + box));
    int w = 0, h = 0;
    for (std::string line; std::getline(out, line);) {
      if (line.rfind("WIDTH=", 0) == 0) w = std::stoi(line.substr(6));
      if (line.rfind("HEIGHT=", 0) == 0) h = std::stoi(line.substr(7));
    }
    Click(box, {w / 2, h - 16});
  }
  bool BoxShown(const std::string& text) {
    return Shell("grep -c " + Quote(text) + " " + Quote(trace.string()) + " || true") != "0";
  }

  testing_support::TempDir home;
  fs::path runtime = home.path() / "runtime";
  fs::path songs = home.path() / "songs";
  fs::path trace = home.path() / "trace.log";
  testing_support::ScopedEnv homeEnv{"HOME", home.path().string()};
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", (home.path() / "config").string()};
  testing_support::ScopedEnv stateEnv{"XDG_STATE_HOME", (home.path() / "state").string()};
  testing_support::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtime.string()};
  testing_support::ScopedEnv languageEnv{"LANGUAGE", "en"};
  testing_support::ScopedEnv uiBaseEnv{"ORVWEB_UI_BASE", std::nullopt};
  std::unique_ptr<testing_support::Child> child;
};

TEST_F(RecorderGui, BundledPagesRecordFollowTheLevelAndSetTheSource) {
  Start();
  ASSERT_TRUE(LogShows("User interface is loaded.", kStartMs));
  const std::string main = Window(kMain);
  ASSERT_FALSE(main.empty());
  ASSERT_TRUE(WaitTrace(kMain, "rects\tRecordButton"));
  Screenshot(main, "main-window.png");

  // Record: the page is told, and a song file appears.
  Click(main, Where(kMain, "RecordButton"));
  ASSERT_TRUE(WaitTrace(kMain, "write\tvalue\tIsRecording\t1"));
  EXPECT_TRUE(WaitUntil([&] { return !SongFiles().empty(); }, kStepMs));

  // A tone played into the sink moves the gauge.
  const fs::path tone = home.path() / "tone.wav";
  Shell("sox -n -r 44100 -c 2 " + Quote(tone.string()) + " synth 4 sine 440 vol 0.9");
  testing_support::Child player({"/usr/bin/paplay", "-d", "rec_sink", tone.string()});
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (const auto& w : Traced(kMain, "write\tstyle.width\tRecGauge\t"))
          if (std::atoi(w.c_str()) >= 200) return true;
        return false;
      },
      kStepMs));
  player.Wait(10000);

  Click(main, Where(kMain, "RecordButton"));
  EXPECT_TRUE(WaitTrace(kMain, "write\tvalue\tIsRecording\t0"));

  // A drag on page text moves the window (and a press there is no click).
  const Point before = Origin(main);
  const Point text = Where(kMain, "NowPlaying");
  const size_t clicks = Count(kMain, "event\tclick");
  Shell("xdotool mousemove --window " + main + " " + std::to_string(text.x) + " " + std::to_string(text.y) +
      " mousedown 1 sleep 0.1 mousemove_relative 10 8 sleep 0.1 mousemove_relative 20 12 sleep 0.1"
      " mousemove_relative 20 10 sleep 0.2 mouseup 1");
  EXPECT_TRUE(WaitUntil([&] { return Origin(main).x != before.x || Origin(main).y != before.y; }, 5000))
      << "the window stayed at " << before.x << "," << before.y;
  EXPECT_EQ(Count(kMain, "event\tclick"), clicks);

  // Options: the sink's monitor is listed and chosen; OK stores it.
  orvweb::WriteProfileString(orvweb::kKeySourceName, u"");
  orvweb::WriteProfileInt(orvweb::kKeySourceInput, 5);
  Click(main, Where(kMain, "OptionsButton"));
  ASSERT_TRUE(WaitTrace(kOptions, "rects\tAudioSource"));
  const auto sources = Traced(kOptions, "write\toptions\tAudioSource\t");
  ASSERT_FALSE(sources.empty());
  EXPECT_NE(sources.back().find("\trec_sink.monitor="), std::string::npos) << sources.back();
  const std::string options = Window(kOptions);
  ASSERT_FALSE(options.empty());
  Screenshot(options, "options-page.png");
  Click(options, Where(kOptions, "ButtonOK"));
  EXPECT_TRUE(WaitUntil([] { return orvweb::GetProfileString(orvweb::kKeySourceName, u"") == u"rec_sink.monitor"; },
                        kStepMs));
  EXPECT_EQ(orvweb::GetProfileInt(orvweb::kKeySourceInput, 5), 0);

  EXPECT_EQ(Stop(), 0);
}

class OwnPages : public RecorderGui {
 protected:
  void Serve(const std::string& main, const std::string& options) {
    const std::vector<std::pair<std::string, std::string>> html = {{"Content-Type", "text/html; charset=utf-8"}};
    server.Route("/ui/en/orvweb.htm", {testing_support::LocalHttpServer::Response::Kind::Reply, 200, main, html});
    server.Route("/ui/en/orvwebOptions.htm",
                 {testing_support::LocalHttpServer::Response::Kind::Reply, 200, options, html});
  }
  testing_support::LocalHttpServer server;
  testing_support::ScopedEnv ownBase{"ORVWEB_UI_BASE", server.Url("/ui/")};
};

constexpr char kClickingPage[] = R"(<!DOCTYPE html><html><body>
<textarea id="Log"></textarea><input type="hidden" id="IsRecording">
<span id="NowPlaying">-</span><button id="RecordButton">Rec</button>
<button id="OptionsButton" style="width:200px;height:60px">Options</button>
<script>window.addEventListener('load', function () {
  setTimeout(function () { document.getElementById('RecordButton').click(); }, 300); });</script>
</body></html>)";

constexpr char kPageWithoutSources[] = R"(<!DOCTYPE html><html><body><button id="ButtonOK">OK</button></body></html>)";

TEST_F(OwnPages, PageScriptStartsRecordingAndOptionsWithoutSourcesLetTheProgramGoOn) {
  Serve(kClickingPage, kPageWithoutSources);
  Start();
  ASSERT_TRUE(WaitTrace(kMain, "write\tvalue\tIsRecording\t1", 0, kStartMs));
  EXPECT_TRUE(WaitUntil([&] { return !SongFiles().empty(); }, kStepMs));
  // Stop the run so the options open without the stop-and-change question.
  const std::string main = Window(kMain);
  ASSERT_FALSE(main.empty());
  ASSERT_TRUE(WaitTrace(kMain, "rects\t"));
  Click(main, Where(kMain, "RecordButton"));
  ASSERT_TRUE(WaitTrace(kMain, "write\tvalue\tIsRecording\t0"));

  Click(main, Where(kMain, "OptionsButton"));
  ASSERT_TRUE(WaitTrace(kOptions, "complete\t" + server.Url("/ui/en/orvwebOptions.htm")));
  const std::string box = MessageBoxWindow();
  ASSERT_FALSE(box.empty());
  PressBoxButton(box);
  // The program goes on: the main window still answers.
  const size_t started = Count(kMain, "write\tvalue\tIsRecording\t1");
  WaitUntil([&] { return MessageBoxWindow(0).empty(); }, kStepMs);
  Click(main, Where(kMain, "RecordButton"));
  EXPECT_TRUE(WaitTrace(kMain, "write\tvalue\tIsRecording\t1", started));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(OwnPages, PageWithoutLogEndsTheProgramAfterTheLoadFailure) {
  Serve("<!DOCTYPE html><html><body><button id=\"RecordButton\">Rec</button></body></html>", kPageWithoutSources);
  Start();
  ASSERT_TRUE(WaitTrace(kMain, "complete\t" + server.Url("/ui/en/orvweb.htm"), 0, kStartMs));
  const std::string box = MessageBoxWindow();
  ASSERT_FALSE(box.empty());
  Screenshot(box, "load-failure.png");
  PressBoxButton(box);
  EXPECT_EQ(child->Wait(kStepMs), 0);
  child.reset();
  EXPECT_TRUE(SongFiles().empty());
}

}  // namespace

// The tray under a window manager (iconifying needs one) on a session bus of
// the test's own, with a tray host of its own or none.
class TrayGui : public RecorderGui {
 protected:
  void SetUp() override {
    RecorderGui::SetUp();
    if (IsSkipped()) return;
    if (Shell("command -v openbox").empty()) GTEST_SKIP() << "needs openbox";
    bus = std::make_unique<testing_support::BusDaemon>(busSocket);
    ASSERT_TRUE(bus->ready()) << "dbus-daemon did not start";
    busEnv = std::make_unique<testing_support::ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", bus->address());
    // A manager ended by an earlier test leaves its check window named on the
    // root window (the server keeps it while other tests are connected).
    Shell("xprop -root -remove _NET_SUPPORTING_WM_CHECK 2>/dev/null");
    // The manager is up once the check window it names exists and is its own.
    const auto managing = [] {
      return Shell("id=$(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -o '0x[0-9a-f]*') && "
                   "xprop -id \"$id\" _NET_WM_NAME 2>/dev/null")
                 .find("\"Openbox\"") != std::string::npos;
    };
    // Now and then openbox reports it cannot open the display and quits at
    // once, while every other client connects; a second start gets it.
    bool up = false;
    for (int attempt = 0; attempt < 3 && !up; ++attempt) {
      wm.reset();  // one still starting would make the next quit as "already running"
      wm = std::make_unique<testing_support::Child>(std::vector<std::string>{"/usr/bin/openbox", "--sm-disable"});
      up = WaitUntil([&] { return managing() || wm->Wait(0) >= 0; }, kStepMs) && managing();
    }
    ASSERT_TRUE(up) << "openbox did not start";
  }
  void TearDown() override {
    RecorderGui::TearDown();
    watcher.Stop();
    wm.reset();
  }
  bool Visible(const std::string& window) {
    return Shell("xdotool search --onlyvisible --name " + Quote(std::string("^") + kMain + "$") +
                 " 2>/dev/null | grep -cx " + window + " || true") != "0";
  }
  std::string MainReady() {
    if (!LogShows("User interface is loaded.", kStartMs)) return {};
    const std::string main = Window(kMain);
    WaitTrace(kMain, "rects\tRecordButton");
    // Managed by the window manager (it sets WM_STATE) before it is
    // minimised: a request for a window it has not taken yet is lost.
    if (main.empty() ||
        !WaitUntil([&] { return !Shell("xprop -id " + main + " WM_STATE 2>/dev/null | grep -o 'state: Normal'").empty(); },
                   kStepMs))
      return {};
    return main;
  }

  fs::path busSocket = home.path() / "bus";
  std::unique_ptr<testing_support::BusDaemon> bus;
  std::unique_ptr<testing_support::ScopedEnv> busEnv;
  std::unique_ptr<testing_support::Child> wm;
  testing_support::SniWatcher watcher;
};

TEST_F(TrayGui, AMinimisedRecordingWaitsInTheTrayUntilItsItemIsClicked) {
  ASSERT_TRUE(watcher.Start());
  Start();
  const std::string main = MainReady();
  ASSERT_FALSE(main.empty());
  Click(main, Where(kMain, "RecordButton"));
  ASSERT_TRUE(WaitTrace(kMain, "write\tvalue\tIsRecording\t1"));

  // Minimised: the item is in the tray before the notice tells of it.
  Shell("xdotool windowminimize " + main);
  const std::string notice = Window("Minimizing");
  ASSERT_FALSE(notice.empty()) << "no minimise notice";
  const auto item = watcher.WaitForItem();
  ASSERT_TRUE(item);
  Screenshot(notice, "minimize-notice.png");
  Shell("xdotool windowactivate --sync " + notice + " key Return");
  EXPECT_TRUE(WaitUntil([&] { return !Visible(main); }, kStepMs)) << "the window stayed on screen";

  // The recording shows in the icon and, second by second, in the tip.
  std::optional<testing_support::SniItemView> view;
  EXPECT_TRUE(WaitUntil(
      [&] {
        view = watcher.ReadItem(*item);
        return view && view->tipTitle.rfind("Record 00:00:0", 0) == 0;
      },
      kStepMs))
      << (view ? view->tipTitle : "no item");
  ASSERT_TRUE(view);
  EXPECT_EQ(view->iconName, "orvweb-recorder-recording");
  EXPECT_GT(view->pixmaps, 0u);
  EXPECT_EQ(view->status, "Active");

  // A click on the item: the window is back and the item gone.
  ASSERT_TRUE(watcher.Activate(*item, 10, 10));
  EXPECT_TRUE(WaitUntil([&] { return Visible(main); }, kStepMs));
  EXPECT_TRUE(watcher.WaitForNoItem());

  // Again, with the notice turned off; then the tray host quits and the
  // window comes back by itself.
  orvweb::WriteProfileInt(orvweb::kKeyShowMinimizeWarning, 0);
  Shell("xdotool windowminimize " + main);
  ASSERT_TRUE(watcher.WaitForItem());
  EXPECT_TRUE(WaitUntil([&] { return !Visible(main); }, kStepMs));
  watcher.Stop();
  EXPECT_TRUE(WaitUntil([&] { return Visible(main); }, kStepMs)) << "the window stayed hidden without a tray";

  Click(main, Where(kMain, "RecordButton"));
  EXPECT_TRUE(WaitTrace(kMain, "write\tvalue\tIsRecording\t0"));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(TrayGui, WithoutATrayHostMinimisingLeavesTheWindowReachable) {
  Start();
  const std::string main = MainReady();
  ASSERT_FALSE(main.empty());
  Shell("xdotool windowminimize " + main);
  EXPECT_TRUE(WaitUntil([&] { return !Visible(main); }, kStepMs)) << "not minimised";
  // No notice, and the task bar (the window manager) brings it back.
  EXPECT_TRUE(Window("Minimizing", 2000).empty());
  Shell("xdotool windowactivate " + main);
  EXPECT_TRUE(WaitUntil([&] { return Visible(main); }, kStepMs)) << "the window cannot be brought back";
  EXPECT_EQ(Stop(), 0);
}
