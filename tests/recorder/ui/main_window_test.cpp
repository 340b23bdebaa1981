// The main window's binding over the real controller, an in-memory page and
// a fake host: the load sequence, the buttons, the gauge and the close.
#include "recorder/ui/main_window.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/shell/fake_tray_item.h"
#include "recorder/core/settings.h"
#include "recorder/ui/opener.h"
#include "tests/support/test_support.h"

#include "fake_host.h"
#include "tests/recorder/controller/controller_fixture.h"

namespace {

using controller_test::M;
using orvweb::ui::CMainWindow;
using platform::html::PageEvent;

class RecordingOpener : public orvweb::ui::IOpener {
 public:
  bool OpenUri(const std::string& uri) override {
    uris.push_back(uri);
    return true;
  }
  std::vector<std::string> uris;
};

class MainWindow : public controller_test::Controller {
 protected:
  void SetUp() override {
    Controller::SetUp();
    orvweb::ui::MainWindowServices services;
    services.makeHost = factory.Make();
    services.messageBox = &boxes;
    services.opener = &opener;
    services.probeEncoder = [this] { return encoder; };
    services.showAbout = [this] { initSteps.push_back("about"); };
    services.startUpdateCheck = [this] { initSteps.push_back("update"); };
    services.tray = &trayItem;
    services.showMinimizeNotice = [this] {
      // What the user sees while the notice is up.
      noticeSaw.push_back({trayItem.shown, host->hidden});
      if (onNotice) onNotice();
    };
    window = std::make_unique<CMainWindow>(*dlg, std::move(services));
    host = &factory.last();
    // The fake host's page stands in for the fixture's page.
    for (const char* id : {"NowPlaying", "RecordLabel", "RecGauge", "GaugeTable"}) host->page_.AddElement(id);
    host->page_.AddElement("Log", "textarea");
    host->page_.AddElement("IsRecording", "input");
  }

  const platform::html::MemoryPage::Element& El(const char* id) { return *host->page_.Find(id); }
  std::string LogText() { return platform::ToUtf8(El("Log").value); }
  void Click(const char* id) {
    PageEvent event;
    event.id = id;
    window->OnPageEvent(event);
    loop.RunPending();
  }
  std::string UiUrl() const { return M(orvweb::IDS_UI_PAGE); }
  void Bind() {
    window->OnDocumentComplete("res://orvweb/LoadingPage");
    window->OnDocumentComplete(UiUrl());
    ASSERT_TRUE(window->bound());
  }

  ui_test::HostFactory factory;
  ui_test::FakeHost* host = nullptr;
  RecordingOpener opener;
  std::optional<std::pair<int, int>> encoder;
  std::vector<std::string> initSteps;
  platform::shell::FakeTrayItem trayItem;
  std::vector<std::pair<bool, bool>> noticeSaw;
  std::function<void()> onNotice;
  std::unique_ptr<CMainWindow> window;
};

TEST_F(MainWindow, WindowIsTheMainTemplateInitialisedInOrder) {
  const auto& t = host->dialog;
  EXPECT_EQ(platform::ToUtf8(t.caption), "Orvello Web Edition");
  EXPECT_EQ(t.widthDlu, 485);
  EXPECT_EQ(t.heightDlu, 313);
  EXPECT_TRUE(t.minimizeBox);
  EXPECT_TRUE(t.helpKey);
  EXPECT_EQ(t.loadingPageUrl, "res://orvweb/LoadingPage");
  EXPECT_EQ(host->owner, nullptr);
  // The About entry is in the window menu before the update check starts;
  // choosing it opens the box.
  ASSERT_EQ(host->menu.size(), 1u);
  EXPECT_EQ(platform::ToUtf8(host->menu[0].first), M(orvweb::IDS_ABOUTBOX));
  EXPECT_EQ(initSteps, (std::vector<std::string>{"update"}));
  host->menu[0].second();
  EXPECT_EQ(initSteps, (std::vector<std::string>{"update", "about"}));
}

TEST_F(MainWindow, MinimisingGoesToTheTrayOnlyWhenAHostCanBringItBack) {
  struct Case {
    const char* name;
    bool hostPresent;
    int showWarning;
    bool recording;
    bool toTray;
  };
  const Case cases[] = {
      {"no tray host: stays in the task bar, no notice", false, 1, false, false},
      {"notice shown with the icon already in the tray", true, 1, false, true},
      {"notice turned off", true, 0, false, true},
      {"recording icon while recording", true, 0, true, true},
  };
  Bind();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trayItem.shown = false;
    trayItem.hostPresent = c.hostPresent;
    noticeSaw.clear();
    orvweb::SetShowMinimizeWarning(c.showWarning);
    if (c.recording != dlg->recordingOn()) Click("RecordButton");
    host->hidden = false;

    host->handlers.minimized();
    EXPECT_EQ(window->inTray(), c.toTray);
    EXPECT_EQ(trayItem.shown, c.toTray);
    EXPECT_EQ(host->hidden, c.toTray);
    const bool noticed = c.toTray && c.showWarning;
    using Seen = std::vector<std::pair<bool, bool>>;
    const Seen expected = noticed ? Seen{{true, false}} : Seen{};
    EXPECT_EQ(noticeSaw, expected);
    if (!c.toTray) continue;
    EXPECT_EQ(trayItem.icon, c.recording ? orvweb::kRecordingIcon : orvweb::kIdleIcon);
    EXPECT_EQ(trayItem.tip, dlg->Caption());

    // A click on the item brings the window back and takes the item away.
    trayItem.Activate();
    EXPECT_FALSE(window->inTray());
    EXPECT_FALSE(host->hidden);
    EXPECT_FALSE(trayItem.shown);
  }
}

TEST_F(MainWindow, TheWindowComesBackWhenTheTrayHostGoes) {
  Bind();
  orvweb::SetShowMinimizeWarning(0);
  host->handlers.minimized();
  ASSERT_TRUE(host->hidden);
  const int presents = host->presents;
  trayItem.HostQuits();
  EXPECT_FALSE(host->hidden);
  EXPECT_EQ(host->presents, presents + 1);
  EXPECT_FALSE(window->inTray());
  // Minimised again with no host left: the window stays reachable.
  host->handlers.minimized();
  EXPECT_FALSE(host->hidden);
  EXPECT_FALSE(trayItem.shown);
}

TEST_F(MainWindow, ATipLongerThanTheTrayTakesIsCutWithoutSplittingAPair) {
  // 62 units, then a pair that would straddle the 63rd unit.
  std::u16string text(62, u'a');
  text += u"\U0001F3B5tail";
  EXPECT_EQ(platform::shell::CutTrayTip(text), std::u16string(62, u'a'));
  EXPECT_EQ(platform::shell::CutTrayTip(u"short"), u"short");
  std::u16string exact(63, u'b');
  EXPECT_EQ(platform::shell::CutTrayTip(exact + u"c"), exact);
}

TEST_F(MainWindow, LoadSequenceFollowsTheCompletedUrl) {
  struct Case {
    std::string url;
    bool navigates;
    bool binds;
  };
  std::string upper = UiUrl();
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::vector<Case> cases = {
      {"res://orvweb/LoadingPage", true, false},
      {"RES://ORVWEB/LoadingPage", true, false},
      {"Res://orvweb/other", true, false},
      {"https://elsewhere.example/orvweb.html", false, false},
      {upper, false, true},
      {UiUrl() + "?again", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    host->navigations.clear();
    host->painting.clear();
    window->OnDocumentComplete(c.url);
    if (c.navigates) {
      EXPECT_EQ(host->navigations, std::vector<std::string>{UiUrl()});
      EXPECT_EQ(host->painting, std::vector<bool>{true});
    } else {
      EXPECT_TRUE(host->navigations.empty());
    }
    EXPECT_EQ(window->bound(), c.binds);
  }
}

TEST_F(MainWindow, BoundPageShowsGaugeAndEncoderLine) {
  for (bool found : {false, true}) {
    SCOPED_TRACE(found);
    encoder = found ? std::optional<std::pair<int, int>>({3, 100}) : std::nullopt;
    host->page_.AddElement("RecGauge").style["width"] = u"99";
    Bind();
    EXPECT_EQ(host->painting.back(), false);
    EXPECT_EQ(platform::ToUtf8(El("RecGauge").style.at("width")), "0");
    EXPECT_EQ(platform::ToUtf8(El("GaugeTable").style.at("visibility")), "Visible");
    // The completion repeats the bind: the log starts afresh each time.
    const auto lines = Logged();
    ASSERT_GE(lines.size(), 2u) << LogText();
    EXPECT_EQ(lines.front(), M(orvweb::IDS_UI_LOADED));
    EXPECT_EQ(lines.back(), found ? "Lame_enc.dll v3.100 is found." : M(orvweb::IDS_ENCODER_NOT_FOUND));
  }
}

TEST_F(MainWindow, PageWithoutLogClosesWithTheLoadFailure) {
  host->page_.RemoveElement("Log");
  window->OnDocumentComplete(UiUrl());
  EXPECT_TRUE(window->loadFailed());
  EXPECT_TRUE(host->ended);
  EXPECT_TRUE(host->hidden);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(platform::ToUtf8(boxes.shown[0].text), M(orvweb::IDS_UI_LOAD_FAILED));
  EXPECT_EQ(boxes.shown[0].icon, platform::shell::MessageBoxIcon::Stop);
  // The window is gone for the controller: clicks do nothing any more.
  Click("RecordButton");
  EXPECT_FALSE(dlg->recordingOn());
}

TEST_F(MainWindow, ButtonsAndHelpKeyReachTheirHandlers) {
  Bind();
  Click("RecordButton");
  EXPECT_TRUE(dlg->recordingOn());
  EXPECT_EQ(platform::ToUtf8(El("IsRecording").value), "1");
  Click("RecordButton");
  EXPECT_FALSE(dlg->recordingOn());
  EXPECT_EQ(platform::ToUtf8(El("IsRecording").value), "0");

  const size_t before = LogSize();
  Click("VolumeInc");
  Click("VolumeDec");
  EXPECT_EQ(LoggedSince(before).size(), 2u);

  Click("HelpButton");
  PageEvent help;
  help.kind = PageEvent::Kind::Help;
  window->OnPageEvent(help);
  Click("OpenSongsButton");
  Click("NowPlaying");  // not a button
  ASSERT_EQ(opener.uris.size(), 3u);
  // The bundled pages are local files: the help page goes to the browser
  // under a name it shows as HTML, beside the ".aspx" page it stands for.
  const std::string aspx = M(orvweb::IDS_HELP_PAGE);
  ASSERT_TRUE(aspx.starts_with("file://") && aspx.ends_with("/help.aspx"));
  EXPECT_EQ(opener.uris[0], aspx.substr(0, aspx.size() - 5) + ".htm");
  EXPECT_EQ(opener.uris[1], opener.uris[0]);
  EXPECT_EQ(opener.uris[2], "file://" + songs.string() + "/");
}

TEST_F(MainWindow, LevelMessagesSetTheGaugeWidth) {
  Bind();
  for (auto [level, width] : std::vector<std::pair<unsigned, std::string>>{{0, "0"}, {50, "227"}, {100, "455"},
                                                                            {1, "4"}}) {
    dlg->PostMessage(orvweb::kLevelMessage, level);
    loop.RunPending();
    // The gauge is written at most once per interval.
    Advance(orvweb::ui::kGaugeIntervalMs);
    EXPECT_EQ(platform::ToUtf8(El("RecGauge").style.at("width")), width) << level;
  }
}

TEST_F(MainWindow, AHiddenWindowGetsNoWritesAndShowingItBringsTheCurrentValuesAtOnce) {
  Bind();
  Click("RecordButton");
  Publish("Before", "Hiding");
  Advance(orvweb::ui::kGaugeIntervalMs);
  const size_t writes = host->page_.appliedWrites();
  const size_t logged = LogSize();

  host->handlers.seenChanged(false);
  EXPECT_FALSE(dlg->ShowRecLevel());  // the capture thread posts no levels
  Sound();
  EXPECT_EQ(loop.PendingMessages(), 0u);
  dlg->PostMessage(orvweb::kLevelMessage, 40);  // one already on its way
  Publish("While", "Hidden");
  Click("VolumeInc");
  Advance(3000);  // the record time moves on
  EXPECT_EQ(host->page_.appliedWrites(), writes);
  ASSERT_GE(LogSize(), logged + 2);

  host->handlers.seenChanged(true);
  EXPECT_TRUE(dlg->ShowRecLevel());
  // One write per element that changed: text, label, gauge, the missed lines.
  EXPECT_EQ(host->page_.appliedWrites(), writes + 4);
  EXPECT_EQ(platform::ToUtf8(El("NowPlaying").text), "While - Hidden");
  EXPECT_EQ(platform::ToUtf8(El("RecGauge").style.at("width")), "182");
  EXPECT_NE(platform::ToUtf8(El("RecordLabel").innerHtml).find("00:00:03"), std::string::npos);
  EXPECT_EQ(El("Log").value, dlg->log().Contents());  // missed lines in their order
}

TEST_F(MainWindow, TheGaugeIsWrittenAtMost15TimesASecondAndOnlyWhenItsWidthChanges) {
  struct Case {
    const char* name;
    unsigned (*level)(int post);
    int minWrites, maxWrites;
  };
  const Case cases[] = {
      {"a moving level", [](int post) { return static_cast<unsigned>(1 + post * 37 % 99); }, 14, 15},
      {"a steady level", [](int) { return 60u; }, 1, 1},
  };
  Bind();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Advance(1000);
    int writes = 0;
    for (int post = 0; post < 100; ++post) {  // a second of posts, 10 ms apart
      const std::u16string before = El("RecGauge").style.at("width");
      dlg->PostMessage(orvweb::kLevelMessage, c.level(post));
      loop.RunPending();
      Advance(10);
      if (El("RecGauge").style.at("width") != before) ++writes;
    }
    EXPECT_GE(writes, c.minWrites);
    EXPECT_LE(writes, c.maxWrites);
    // The last level is not lost to the interval.
    Advance(orvweb::ui::kGaugeIntervalMs);
    EXPECT_EQ(platform::ToUtf8(El("RecGauge").style.at("width")), std::to_string(c.level(99) * 455 / 100));
  }
}

TEST_F(MainWindow, WebProcessDeathRebindsWithTheRecordingUntouched) {
  Bind();
  Click("RecordButton");
  ASSERT_TRUE(Recording());
  const auto files = SongFiles();
  window->OnWebProcessGone();
  // The reloaded document starts empty.
  host->page_.AddElement("IsRecording", "input");
  window->OnDocumentComplete(UiUrl());
  EXPECT_TRUE(window->bound());
  EXPECT_TRUE(Recording());
  EXPECT_TRUE(dlg->recordingOn());
  EXPECT_EQ(SongFiles(), files);
  EXPECT_EQ(platform::ToUtf8(El("IsRecording").value), "1");
  Click("RecordButton");
  EXPECT_FALSE(dlg->recordingOn());
  EXPECT_TRUE(Monitoring());
}

TEST_F(MainWindow, CloseFinishesTheSongAndEndsTheRun) {
  Bind();
  Click("RecordButton");
  ASSERT_TRUE(Recording());
  window->OnCloseRequested();
  EXPECT_TRUE(host->ended);
  EXPECT_NE(dlg->engine().engineState(), orvweb::kEngineRunning);
  Click("RecordButton");
  EXPECT_FALSE(Recording());
}

// A server's page keeps its name; a local one is swapped only for a twin
// that exists.
TEST(HelpPage, OnlyALocalAspxPageWithAnHtmTwinIsSwapped) {
  testing_support::TempDir dir;
  std::filesystem::create_directories(dir.path() / "with" / "en");
  std::filesystem::create_directories(dir.path() / "with" / "de");
  std::filesystem::create_directories(dir.path() / "without" / "en");
  std::filesystem::create_directories(dir.path() / "without" / "de");
  for (const char* lang : {"en", "de"}) {
    std::ofstream(dir.path() / "with" / lang / "help.htm") << "<p>help</p>";
  }
  struct Case {
    std::string base;
    std::string ending;
  };
  for (const Case& c : std::vector<Case>{{"http://127.0.0.1:1/ui/", "/help.aspx"},
                                         {"file://" + (dir.path() / "with").string() + "/", "/help.htm"},
                                         {"file://" + (dir.path() / "without").string() + "/", "/help.aspx"}}) {
    testing_support::ScopedEnv base("ORVWEB_UI_BASE", c.base);
    EXPECT_TRUE(orvweb::ui::HelpPageUri().ends_with(c.ending)) << c.base << " -> " << orvweb::ui::HelpPageUri();
  }
}

}  // namespace
