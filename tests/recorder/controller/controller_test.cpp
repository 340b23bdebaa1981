// The recording controller's decisions, driven the way the window is: page
// clicks, now-playing notices through the real channel, and timers on a
// virtual clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "controller_fixture.h"

using namespace controller_test;
using namespace orvweb;
using platform::shell::MessageBoxButtons;
using platform::shell::MessageBoxIcon;
using platform::shell::MessageBoxResult;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::string kFirstSongFile = "song050305143015.mp3";

TEST_F(Controller, LoadingBindsTheLogLooksForThePlayerAndMonitors) {
  page.AddElement("Log", "textarea").value = u"left by the page";
  Load();
  EXPECT_EQ(Logged(), (std::vector<std::string>{M(IDS_UI_LOADED), M(IDS_PLUGIN_NOT_DETECTED)}));
  EXPECT_EQ(dlg->playerStatus(), kPluginNotDetected);
  EXPECT_TRUE(loop.HasTimer(*dlg, kPlayerSearchTimer));
  EXPECT_TRUE(Monitoring());
  EXPECT_FALSE(loop.HasTimer(*dlg, kLimitTimer));
  EXPECT_EQ(EncoderStreams(), 0);
  EXPECT_THAT(SongFiles(), IsEmpty());
}

TEST_F(Controller, LoadingReadsTheChannelOnce) {
  OpenWriter();
  // A notice while the page loads is not taken for the song: the page would
  // never show it.
  writer->WriteFull(kPlayStatePlaying, NowPlayingItem{u"Artist", u"Title", u"", u"http://radio/"});
  loop.RunPending();
  Load();
  EXPECT_EQ(Logged(), (std::vector<std::string>{M(IDS_UI_LOADED), M(IDS_PLUGIN_DETECTED),
                                                "New song Artist - Title is started in Windows Media Player."}));
  EXPECT_EQ(Text("NowPlaying"), "Artist - Title");
  EXPECT_EQ(dlg->currentSourceUrl(), u"http://radio/");
  EXPECT_TRUE(Monitoring());
}

TEST_F(Controller, APageWithoutLogFailsTheLoad) {
  page.RemoveElement("Log");
  EXPECT_LT(dlg->OnUiLoaded(&page), 0);
  EXPECT_FALSE(loop.HasTimer(*dlg, kPlayerSearchTimer));
  EXPECT_EQ(audio.connectCalls(), 0);
}

TEST_F(Controller, ABrokenDeviceFailsTheLoad) {
  audio.connectResult = platform::E_FAIL;
  EXPECT_LT(dlg->OnUiLoaded(&page), 0);
}

TEST_F(Controller, RecordBeforeAnySongRecordsIntoAnUnnamedSong) {
  Load();
  const size_t before = LogSize();
  dlg->OnRecordClick();
  EXPECT_EQ(LoggedSince(before), std::vector<std::string>{M(IDS_RECORDING_STARTED)});
  EXPECT_THAT(notices.pages, ElementsAre("start.htm"));
  EXPECT_TRUE(dlg->recordingOn());
  EXPECT_EQ(Value("IsRecording"), "1");
  EXPECT_EQ(dlg->recordingStart(), kEpochMs / 1000);
  EXPECT_TRUE(Recording());
  EXPECT_THAT(SongFiles(), ElementsAre(kFirstSongFile));
  EXPECT_TRUE(std::regex_match(kFirstSongFile, std::regex(R"(song\d{12}\.mp3)")));

  // The first song ends the unnamed one.
  Advance(60000);
  Publish("Artist", "Title");
  EXPECT_THAT(SongFiles(), ElementsAre("Artist - Title.mp3", kFirstSongFile));
  EXPECT_EQ(EncoderStreams(), 2);
}

TEST_F(Controller, StopReturnsToMonitoring) {
  Load();
  tray.shown = true;
  dlg->OnRecordClick();
  Advance(45000);
  const size_t before = LogSize();
  dlg->OnRecordClick();
  EXPECT_EQ(LoggedSince(before), std::vector<std::string>{M(IDS_RECORDING_STOPPED)});
  EXPECT_THAT(notices.pages, ElementsAre("start.htm", "stop.htm"));
  EXPECT_FALSE(dlg->recordingOn());
  EXPECT_EQ(Value("IsRecording"), "0");
  EXPECT_EQ(Html("RecordLabel"), "");
  EXPECT_TRUE(Monitoring());
  EXPECT_FALSE(loop.HasTimer(*dlg, kLimitTimer));
  EXPECT_FALSE(loop.HasTimer(*dlg, kRecordTimeTimer));
  EXPECT_THAT(SongFiles(), ElementsAre(kFirstSongFile));  // 45 s: kept

  ASSERT_GE(tray.changes.size(), 2u);
  EXPECT_EQ(tray.changes.front().icon, kRecordingIcon);
  EXPECT_FALSE(tray.changes.front().tip);
  EXPECT_EQ(tray.changes.back().icon, kIdleIcon);
  EXPECT_EQ(tray.changes.back().tip, LoadMessage(IDS_CAPTION));
}

TEST_F(Controller, StartAndStopFailuresAreReported) {
  WriteProfileInt(kKeyMinSongLength, 0);
  Load();
  audio.connectResult = platform::E_FAIL;
  size_t before = LogSize();
  dlg->OnRecordClick();
  EXPECT_EQ(LoggedSince(before), std::vector<std::string>{M(IDS_UNABLE_TO_START)});
  EXPECT_THAT(notices.pages, ElementsAre("starterr.htm"));
  EXPECT_FALSE(dlg->recordingOn());

  audio.connectResult = platform::S_OK;
  dlg->OnRecordClick();
  ASSERT_TRUE(dlg->recordingOn());
  audio.lastStream()->stopResult = platform::E_FAIL;
  before = LogSize();
  dlg->OnRecordClick();
  EXPECT_EQ(LoggedSince(before), std::vector<std::string>{M(IDS_UNABLE_TO_STOP)});
  EXPECT_TRUE(dlg->recordingOn());
  EXPECT_FALSE(loop.HasTimer(*dlg, kLimitTimer));
}

TEST_F(Controller, AnEqualSongChangesNothing) {
  WriteProfileInt(kKeyMinSongLength, 0);
  Load();
  // The fake encoder's files measure by their size, so a second take of a
  // name is compared, not kept beside (which would log a line of its own).
  dlg->engine().SetSongFileTools({[](const std::string& path, int) -> std::optional<int64_t> {
                                    std::error_code error;
                                    return static_cast<int64_t>(std::filesystem::file_size(path, error));
                                  },
                                  nullptr, [](const std::string&, int) { return true; }});
  Publish("A", "BC", "http://radio/");
  dlg->OnRecordClick();
  ASSERT_EQ(EncoderStreams(), 1);

  struct Case {
    const char* artist;
    const char* title;
    const char* url;
    bool newSong;
  };
  const Case cases[] = {
      {"A", "BC", "http://radio/", false},
      {"AB", "C", "http://radio/", false},     // joined the same
      {"(Live) A", "BC", "http://radio/", false},  // the same once cleaned
      {"", "A - BC", "http://radio/", false},  // split at the hyphen
      {"A", "BC", "http://radio/2", true},     // another source
      {"a", "BC", "http://radio/2", true},     // case counts
  };
  int streams = 1;
  for (const Case& c : cases) {
    const size_t before = LogSize();
    const std::string shown = Text("NowPlaying");
    Publish(c.artist, c.title, c.url);
    if (c.newSong) ++streams;
    EXPECT_EQ(EncoderStreams(), streams) << c.artist << "/" << c.title << " " << c.url;
    EXPECT_EQ(LogSize() - before, c.newSong ? 1u : 0u) << c.artist << "/" << c.title;
    if (!c.newSong) {
      EXPECT_EQ(Text("NowPlaying"), shown);
    }
  }
}

TEST_F(Controller, NewSongLineShowsNamesLiterallyAndTrimmed) {
  Load();
  Publish("\tPercent  ", "100% %s %d ");
  EXPECT_EQ(Text("NowPlaying"), "Percent - 100% %s %d");
  EXPECT_EQ(Logged().back(), "New song Percent - 100% %s %d is started in Windows Media Player.");
  EXPECT_EQ(dlg->currentArtist(), u"\tPercent");  // stored as cleaned, not trimmed of tabs
}

TEST_F(Controller, PauseWhileRecordingFinishesTheFileAndTheSameSongStartsAnew) {
  Load();
  Publish("Artist", "Title");
  dlg->OnRecordClick();
  Advance(50000);
  size_t before = LogSize();
  PublishState(kPlayStatePaused);
  EXPECT_EQ(LoggedSince(before), std::vector<std::string>{M(IDS_PLAYER_PAUSED)});
  EXPECT_EQ(Text("NowPlaying"), M(IDS_NOTHING_PLAYING));
  EXPECT_EQ(dlg->engine().engineState(), kEngineIdle);
  EXPECT_EQ(dlg->currentArtist(), u"");
  EXPECT_EQ(dlg->currentTitle(), u"");
  EXPECT_TRUE(dlg->recordingOn());
  const auto calls = lame.Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "close"), 1);  // the file is closed

  // The same song, played on, gets a file of its own.
  before = LogSize();
  PublishState(kPlayStatePlaying);
  EXPECT_EQ(EncoderStreams(), 2);
  EXPECT_TRUE(Recording());
  EXPECT_EQ(Text("NowPlaying"), "Artist - Title");
  EXPECT_EQ(LogSize() - before, 1u);
}

TEST_F(Controller, PauseWithoutARecordingRunIsAnOrdinaryNotice) {
  Load();
  Publish("Artist", "Title");
  const size_t before = LogSize();
  PublishState(kPlayStatePaused);
  EXPECT_EQ(LogSize(), before);
  EXPECT_EQ(Text("NowPlaying"), "Artist - Title");
  EXPECT_TRUE(Monitoring());
}

TEST_F(Controller, StoppedAndEndedCountAsPlaying) {
  Load();
  Publish("Artist", "Title");
  dlg->OnRecordClick();
  for (int32_t state : {kPlayStateStopped, kPlayStateMediaEnded}) {
    PublishState(state);
    EXPECT_TRUE(Recording()) << state;
    EXPECT_EQ(dlg->currentTitle(), u"Title");
  }
}

TEST_F(Controller, ThePageIsFetchedWhenNamesAreMissingOrGenerate) {
  const std::string npv = "http://127.0.0.1:9/item";
  const std::string links =
      "<a href=\"javascript:RLNK('/album/?song=7');\">Page Title</a>"
      "<a href=\"javascript:RLNK('/artist/?artist=3');\">Page Artist</a>";
  struct Case {
    const char* author;
    const char* title;
    const char* npv;
    std::optional<std::string> body;  // nullopt: the page cannot be read
    bool fetched;
    const char* shown;  // nullptr: no song change
  };
  const Case cases[] = {
      {"Artist", "GeNeRaTe", npv.c_str(), links, true, "Page Artist - Page Title"},
      {"Artist", "GeNeRaTe", npv.c_str(), "no links", true, "Artist - GeNeRaTe"},  // keeps its case
      {"", "", npv.c_str(), links, true, "Page Artist - Page Title"},
      {"Artist", "", npv.c_str(), "<a href=\"javascript:RLNK('/album/?song=1');\">Only Title</a>", true,
       "Artist - Only Title"},
      {"Artist", "Title", npv.c_str(), links, false, "Artist - Title"},
      {"", "Generate", "", links, false, " - Generate"},
      {"Artist", "Generate", npv.c_str(), std::nullopt, true, nullptr},
  };
  Load();
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.author) + "/" + c.title);
    const size_t requests = web.requests().size();
    const platform::http::Result result{c.body ? platform::http::Status::Ok : platform::http::Status::Failed,
                                        c.body ? 200 : 0};
    web.SetReply(npv, platform::http::FakeClient::Reply{result, c.body.value_or("")});
    page.AddElement("NowPlaying");
    // A source URL of its own makes every case a new song.
    Publish(c.author, c.title, "http://radio/" + std::to_string(++n), kPlayStatePlaying, c.npv);
    EXPECT_EQ(web.requests().size() > requests, c.fetched);
    if (c.fetched) {
      EXPECT_EQ(web.requests().back().options.agent, "WebBrowser");
    }
    EXPECT_EQ(Text("NowPlaying"), c.shown ? c.shown : "");
  }
}

TEST_F(Controller, APageForAnItemThatChangedMeanwhileIsDropped) {
  // Holds the page until the test lets it come.
  class HeldPage final : public platform::http::Client {
   public:
    platform::http::Result Get(const std::string&, const platform::http::Options&,
                               const platform::http::BodySink& sink) override {
      ++requests;
      while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      const std::string page =
          "<a href=\"javascript:RLNK('/album/?song=7');\">Page Title</a>"
          "<a href=\"javascript:RLNK('/artist/?artist=3');\">Page Artist</a>";
      sink(page.data(), page.size());
      return {platform::http::Status::Ok, 200};
    }
    std::atomic<int> requests{0};
    std::atomic<bool> released{false};
  } held;
  MakeDialog(&held);
  // Whatever happens below, the dialog and its fetch end before the page does.
  struct Done {
    HeldPage& page;
    std::unique_ptr<COrvWebRecorderDlg>& dialog;
    ~Done() {
      page.released = true;
      dialog.reset();
    }
  } done{held, dlg};
  Load();
  dlg->OnRecordClick();
  OpenWriter();
  writer->WriteFull(kPlayStatePlaying, NowPlayingItem{u"Artist", u"generate", u"http://127.0.0.1:9/item", u"r"});
  loop.RunPending();
  ASSERT_TRUE(testing_support::WaitUntil([&] { return held.requests == 1; }));
  // The window goes on while the page is read; the next song comes meanwhile.
  writer->WriteFull(kPlayStatePlaying, NowPlayingItem{u"Next", u"Song", u"", u"r"});
  loop.RunPending();
  EXPECT_EQ(Text("NowPlaying"), "Next - Song");
  held.released = true;
  SettlePage();
  EXPECT_EQ(Text("NowPlaying"), "Next - Song");
  EXPECT_EQ(dlg->currentTitle(), u"Song");
  EXPECT_EQ(platform::ToUtf8(dlg->log().Contents()).find("Page Artist"), std::string::npos);
  EXPECT_EQ(held.requests, 1);
}

TEST_F(Controller, NoLimitInTheFirstTenSeconds) {
  WriteProfileInt(kKeyMinSongLength, 0);
  Load();
  dlg->OnRecordClick();
  // Sound heard "200 s ago" (the clock was put back for a moment): the
  // silence is long at once, but the song is young.
  clock.Jump(-200000);
  Sound();
  clock.Jump(200000);
  Advance(9000);
  EXPECT_GE(dlg->engine().SilenceDuration(), 120);
  EXPECT_TRUE(dlg->recordingOn());
  const size_t before = LogSize();
  Advance(3000);
  EXPECT_EQ(LoggedSince(before), (std::vector<std::string>{M(IDS_RECORDING_STOPPED), M(IDS_LONG_SILENCE)}));
}

TEST_F(Controller, ASongOf21MinutesIsStopped) {
  Load();
  Publish("Artist", "Long");
  dlg->OnRecordClick();
  // Sound every 30 s keeps the silence limit away.
  for (int t = 30; t <= 1230; t += 30) {
    Advance(30000);
    Sound();
  }
  Advance(1257000 - 1230000);  // 20 min 57 s: still 20 whole minutes
  ASSERT_TRUE(dlg->recordingOn());
  const size_t before = LogSize();
  Advance(3000);  // 21 min
  EXPECT_EQ(LoggedSince(before), (std::vector<std::string>{M(IDS_RECORDING_STOPPED), M(IDS_SONG_TOO_LONG)}));
  EXPECT_FALSE(dlg->recordingOn());
  EXPECT_TRUE(Monitoring());
  EXPECT_THAT(SongFiles(), ElementsAre("Artist - Long.mp3"));
}

TEST_F(Controller, TwoMinutesOfSilenceStop) {
  struct Case {
    int64_t soundAtMs;
    int64_t silenceAtTick120;  // the tick at 120 s lets it run
    int64_t silenceAtTick123;  // the tick at 123 s stops it
  };
  for (const Case c : {Case{1000, 119, 122}, Case{3000, 117, 120}}) {
    SCOPED_TRACE(c.soundAtMs);
    MakeDialog();
    Load();
    dlg->OnRecordClick();
    const int64_t start = loop.NowMs();
    Advance(c.soundAtMs);
    Sound();
    Advance(start + 120000 - loop.NowMs());
    EXPECT_TRUE(dlg->recordingOn());
    EXPECT_EQ(dlg->engine().SilenceDuration(), c.silenceAtTick120);
    const size_t before = LogSize();
    Advance(3000);
    EXPECT_EQ(dlg->engine().SilenceDuration(), c.silenceAtTick123);
    EXPECT_EQ(LoggedSince(before), (std::vector<std::string>{M(IDS_RECORDING_STOPPED), M(IDS_LONG_SILENCE)}));
    EXPECT_FALSE(dlg->recordingOn());
    dlg->OnDestroy();
  }
}

TEST_F(Controller, BothLimitsInOneTickStopForLengthOnly) {
  Load();
  dlg->OnRecordClick();
  clock.Jump(22 * 60 * 1000);  // 22 minutes pass in silence between two ticks
  const size_t before = LogSize();
  Advance(3000);
  EXPECT_EQ(LoggedSince(before), (std::vector<std::string>{M(IDS_RECORDING_STOPPED), M(IDS_SONG_TOO_LONG)}));
}

TEST_F(Controller, RecordTimeLabelAndTip) {
  Load();
  tray.shown = true;
  dlg->OnRecordClick();
  Advance(4000);
  EXPECT_EQ(Html("RecordLabel"), "Record 00:00:04");
  EXPECT_EQ(tray.changes.back().tip, u"Record 00:00:04");

  // A whole day and an hour, a minute and a second; the next label tick
  // comes before the next limit check.
  clock.Jump(90056 * 1000);
  Advance(1000);
  EXPECT_EQ(Html("RecordLabel"), "Record 01:01:01");
  EXPECT_EQ(tray.changes.back().tip, u"Record 01:01:01");
}

TEST_F(Controller, RecordingTheFileThePlayerPlaysIsRefused) {
  Load();
  fs::create_directories(songs);
  const std::string played = (songs / "Artist - Title.mp3").string();
  { std::ofstream(played) << "played"; }

  // Record clicked on it: the switch stays off and an unnamed song records.
  Publish("Artist", "Title", played);
  size_t before = LogSize();
  dlg->OnRecordClick();
  EXPECT_EQ(LoggedSince(before), std::vector<std::string>{M(IDS_SONG_ALREADY_RECORDED)});
  EXPECT_FALSE(dlg->recordingOn());
  EXPECT_THAT(notices.pages, IsEmpty());
  EXPECT_TRUE(Recording());
  EXPECT_THAT(SongFiles(), ElementsAre("Artist - Title.mp3", kFirstSongFile));

  // The next song is recorded all the same (the graph records).
  Advance(60000);
  Publish("Next", "Song");
  EXPECT_TRUE(Recording());
  EXPECT_TRUE(SongFiles().count("Next - Song.mp3"));

  // While a run is on, changing to the played file stops it.
  dlg->OnRecordClick();
  ASSERT_TRUE(dlg->recordingOn());
  Advance(60000);
  before = LogSize();
  Publish("Artist", "Title", played);
  EXPECT_EQ(LoggedSince(before), (std::vector<std::string>{M(IDS_SONG_ALREADY_RECORDED), M(IDS_RECORDING_STOPPED)}));
  EXPECT_FALSE(dlg->recordingOn());
  EXPECT_TRUE(Monitoring());
  EXPECT_EQ(Text("NowPlaying"), "Next - Song");  // not updated
  std::ifstream in(played);
  std::string content;
  in >> content;
  EXPECT_EQ(content, "played");
}

TEST_F(Controller, ALimitStopsARecordingThatRunsWithoutTheSwitch) {
  Load();
  fs::create_directories(songs);
  const std::string played = (songs / "Artist - Title.mp3").string();
  { std::ofstream(played) << "played"; }
  Publish("Artist", "Title", played);
  dlg->OnRecordClick();  // refused: the songs after it are recorded all the same
  ASSERT_FALSE(dlg->recordingOn());
  Advance(60000);
  Publish("Next", "Song");
  ASSERT_TRUE(Recording());
  const int streams = EncoderStreams();

  Advance(123000);  // two minutes of silence
  const auto lines = Logged();
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string>{M(IDS_RECORDING_STOPPED), M(IDS_LONG_SILENCE)}));
  EXPECT_TRUE(Monitoring());
  EXPECT_FALSE(dlg->recordingOn());
  // The song stays as recorded: no new stream replaced its file.
  EXPECT_EQ(EncoderStreams(), streams);
  EXPECT_TRUE(SongFiles().count("Next - Song.mp3"));
  EXPECT_THAT(notices.pages, ElementsAre("stop.htm"));
  EXPECT_EQ(Html("RecordLabel"), "");  // no run was on: no time was shown
}

TEST_F(Controller, OptionsCancelRestartsTheEngineWithoutAFile) {
  Load();
  const int runs = audio.lastStream()->runCalls();
  options.result = kDialogCancel;
  dlg->OnOptionsClick();
  EXPECT_THAT(boxes.shown, IsEmpty());
  ASSERT_EQ(options.owners.size(), 1u);
  EXPECT_EQ(options.owners[0], dlg.get());
  EXPECT_EQ(audio.connectCalls(), 1);  // not rebuilt
  EXPECT_GT(audio.lastStream()->runCalls(), runs);
  EXPECT_TRUE(Monitoring());
  EXPECT_THAT(SongFiles(), IsEmpty());
}

TEST_F(Controller, OptionsWhileRecordingAskFirst) {
  Load();
  Publish("Artist", "Title");
  dlg->OnRecordClick();
  Advance(60000);

  for (auto answer : {MessageBoxResult::No, MessageBoxResult::Cancel}) {
    boxes.answers = {answer};
    dlg->OnOptionsClick();
    EXPECT_TRUE(options.owners.empty());
    EXPECT_TRUE(Recording());
  }
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[0].text, LoadMessage(IDS_STOP_AND_CHANGE_SETTINGS));
  EXPECT_EQ(boxes.shown[0].buttons, MessageBoxButtons::YesNoCancel);
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Exclamation);

  boxes.answers = {MessageBoxResult::Yes};
  options.result = kDialogCancel;
  dlg->OnOptionsClick();
  EXPECT_FALSE(dlg->recordingOn());
  EXPECT_EQ(options.owners.size(), 1u);
  EXPECT_TRUE(Monitoring());
  EXPECT_THAT(SongFiles(), ElementsAre("Artist - Title.mp3"));
  EXPECT_THAT(notices.pages, ElementsAre("start.htm", "stop.htm"));
}

TEST_F(Controller, OptionsStopARecordingThatRunsWithoutTheSwitch) {
  Load();
  fs::create_directories(songs);
  const std::string played = (songs / "Artist - Title.mp3").string();
  { std::ofstream(played) << "played"; }
  Publish("Artist", "Title", played);
  dlg->OnRecordClick();
  ASSERT_TRUE(Recording());
  ASSERT_FALSE(dlg->recordingOn());
  Advance(60000);
  boxes.answers = {MessageBoxResult::Yes};
  const size_t before = LogSize();
  dlg->OnOptionsClick();
  EXPECT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(LoggedSince(before), std::vector<std::string>{M(IDS_RECORDING_STOPPED)});
  EXPECT_FALSE(dlg->recordingOn());
  EXPECT_THAT(notices.pages, ElementsAre("stop.htm"));
  EXPECT_TRUE(Monitoring());
}

TEST_F(Controller, OptionsOkRebuildsAndAppliesTheGauge) {
  Load();
  options.result = kDialogOk;
  options.onRun = [] { WriteProfileInt(kKeyShowRecLevel, 0); };
  dlg->OnOptionsClick();
  EXPECT_EQ(audio.connectCalls(), 2);
  EXPECT_TRUE(Monitoring());
  EXPECT_EQ(page.Find("RecGauge")->style.at("width"), u"0");
  EXPECT_EQ(page.Find("GaugeTable")->style.at("visibility"), u"Hidden");
  EXPECT_FALSE(dlg->ShowRecLevel());
}

TEST_F(Controller, OptionsEndARunThatThePlayerPaused) {
  Load();
  Publish("Artist", "Title");
  dlg->OnRecordClick();
  Advance(60000);
  PublishState(kPlayStatePaused);
  boxes.answers = {MessageBoxResult::Yes};
  options.result = kDialogOk;
  dlg->OnOptionsClick();
  EXPECT_EQ(boxes.shown.size(), 1u);
  EXPECT_FALSE(dlg->recordingOn());
  EXPECT_EQ(Value("IsRecording"), "0");
  EXPECT_TRUE(Monitoring());
}

TEST_F(Controller, LevelMessagesMoveTheGauge) {
  Load();
  for (const auto& [level, width] : {std::pair{0u, u"0"}, {50u, u"227"}, {100u, u"455"}}) {
    dlg->PostMessage(kLevelMessage, level);
    loop.RunPending();
    EXPECT_EQ(page.Find("RecGauge")->style.at("width"), width);
  }
}

TEST_F(Controller, TheSoundServerGoingAwayKeepsTheSongStopsTheRunAndMonitoringComesBack) {
  WriteProfileInt(kKeyMinSongLength, 0);
  Load();
  Publish("Artist", "Title");
  dlg->OnRecordClick();
  Sound();
  Advance(30000);
  const size_t before = LogSize();
  audio.LoseServer();
  loop.RunPending();
  EXPECT_EQ(LoggedSince(before), (std::vector<std::string>{M(IDS_SOUND_SERVER_LOST)}));
  EXPECT_FALSE(dlg->recordingOn());
  EXPECT_EQ(Value("IsRecording"), "0");
  EXPECT_EQ(Html("RecordLabel"), "");
  EXPECT_EQ(page.Find("RecGauge")->style.at("width"), u"0");
  EXPECT_EQ(notices.pages.back(), platform::ToUtf8(kNoticeRecordStopped));
  // Finished, so kept under its name and tagged; the encoder stream closed.
  EXPECT_EQ(SongFiles(), (std::set<std::string>{"Artist - Title.mp3"}));
  EXPECT_FALSE(dlg->engine().encodingActive());
  EXPECT_EQ(dlg->engine().engineState(), kEngineIdle);

  // While the server is gone, song changes write nothing and retries fail quietly.
  Publish("Next", "Song");
  Advance(6000);
  EXPECT_EQ(SongFiles(), (std::set<std::string>{"Artist - Title.mp3"}));
  EXPECT_EQ(LogSize(), before + 2);  // the loss and the new song

  audio.ServerBack();
  Advance(2000);
  EXPECT_EQ(Logged().back(), M(IDS_SOUND_SERVER_BACK));
  EXPECT_TRUE(Monitoring());
  EXPECT_FALSE(dlg->recordingOn());
  EXPECT_FALSE(loop.HasTimer(*dlg, kAudioRetryTimer));
  Sound();
  EXPECT_NE(page.Find("RecGauge")->style.at("width"), u"0");
}

TEST_F(Controller, VolumeButtonsStepTheRecordLevel) {
  Load();
  dlg->OnVolumeIncClick();
  EXPECT_EQ(Logged().back(), "Record Level is set to 55%");
  dlg->OnVolumeDecClick();
  dlg->OnVolumeDecClick();
  EXPECT_EQ(Logged().back(), "Record Level is set to 45%");
  EXPECT_EQ(GetProfileInt(kKeyRecordLevel, 0), 450);
}

TEST_F(Controller, PlayerDetection) {
  Load();
  EXPECT_EQ(dlg->playerStatus(), kPluginNotDetected);
  size_t before = LogSize();
  Advance(6000);  // still no player: nothing more is said
  EXPECT_EQ(LogSize(), before);

  // The player shows without its plug-in: one question after 3 s, then silence.
  playerRunning = true;
  Advance(2000);
  EXPECT_FALSE(loop.HasTimer(*dlg, kPlayerSearchTimer));
  EXPECT_TRUE(loop.HasTimer(*dlg, kPluginCheckTimer));
  Advance(3000);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, LoadMessage(IDS_PLUGIN_NOT_ACTIVE));
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Exclamation);
  EXPECT_EQ(loop.TimerCount(), 0u);

  // The plug-in's first notice is detection.
  before = LogSize();
  Publish("Artist", "Title");
  EXPECT_EQ(LoggedSince(before)[0], M(IDS_PLUGIN_DETECTED));
  EXPECT_EQ(dlg->playerStatus(), kPluginDetected);

  // The plug-in goes away: the next notice finds no section and polling resumes.
  writer.reset();
  loop.RunPending();
  EXPECT_EQ(dlg->playerStatus(), kPluginNotDetected);
  EXPECT_TRUE(loop.HasTimer(*dlg, kPlayerSearchTimer));
}

TEST_F(Controller, APluginThatClosesIsNotDetectedAlsoWhenItsLastRecordWasStillThere) {
  for (bool readBeforeTheSectionWent : {false, true}) {
    SCOPED_TRACE(readBeforeTheSectionWent);
    MakeDialog();
    Load();
    Publish("Artist", "Title");
    ASSERT_EQ(dlg->playerStatus(), kPluginDetected);
    Advance(5000);  // found: the search is over
    ASSERT_FALSE(loop.HasTimer(*dlg, kPlayerSearchTimer));
    const size_t before = LogSize();
    if (readBeforeTheSectionWent) {
      // The notice of the closing record is read while the plug-in still
      // holds its section; it lets go right after, with no further notice.
      writer->WriteClosing();
      loop.RunPending();
      EXPECT_EQ(dlg->playerStatus(), kPluginDetected);
    }
    writer.reset();
    loop.RunPending();
    Advance(2000);
    EXPECT_EQ(dlg->playerStatus(), kPluginNotDetected);
    EXPECT_EQ(LoggedSince(before), std::vector<std::string>{M(IDS_PLUGIN_NOT_DETECTED)});
    EXPECT_TRUE(loop.HasTimer(*dlg, kPlayerSearchTimer));
    EXPECT_THAT(boxes.shown, IsEmpty());
  }
}

TEST_F(Controller, APlayerWithItsPluginIsFoundEvenOffTheBus) {
  for (bool onBus : {true, false}) {
    SCOPED_TRACE(onBus);
    MakeDialog();
    playerRunning = onBus;
    Load();
    Publish("Artist", "Title");
    ASSERT_EQ(dlg->playerStatus(), kPluginDetected);
    const size_t before = LogSize();
    Advance(10000);
    EXPECT_EQ(LogSize(), before);
    EXPECT_EQ(dlg->playerStatus(), kPluginDetected);
    EXPECT_FALSE(loop.HasTimer(*dlg, kPlayerSearchTimer));
    EXPECT_THAT(boxes.shown, IsEmpty());
    writer.reset();
  }
}

TEST_F(Controller, DestroyFinishesTheSongAndStopsListening) {
  Load();
  Publish("Artist", "Title");
  dlg->OnRecordClick();
  Advance(60000);
  dlg->OnDestroy();
  const auto calls = lame.Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "close"), 1);
  EXPECT_EQ(dlg->engine().engineState(), kEngineIdle);
  EXPECT_THAT(SongFiles(), ElementsAre("Artist - Title.mp3"));
  EXPECT_EQ(loop.TimerCount(), 0u);
  const std::string shown = Value("Log");
  Publish("Other", "Song");
  Advance(10000);
  EXPECT_EQ(Value("Log"), shown);
  EXPECT_EQ(EncoderStreams(), 1);
}

TEST_F(Controller, AShortSongIsDeletedAndSaidSo) {
  Load();
  Publish("Short", "One");
  dlg->OnRecordClick();
  Advance(39000);
  Publish("Next", "One");
  EXPECT_THAT(SongFiles(), ElementsAre("Next - One.mp3"));
  const auto lines = Logged();
  EXPECT_EQ(lines[lines.size() - 2], M(IDS_SONG_TOO_SHORT));
}

TEST_F(Controller, ASongFileThatCannotBeWrittenStopsRecordingAndTellsTheUserOnce) {
  struct Case {
    const char* name;
    bool folderRemoved;  // else the engine reports a failed write
  };
  Load();
  Publish("A", "B", "http://radio/");
  dlg->OnRecordClick();
  for (const Case c : {Case{"write failed", false}, Case{"folder removed", true}}) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Recording());
    boxes.shown.clear();
    const size_t before = LogSize();
    if (c.folderRemoved) {
      fs::remove_all(songs);
      Advance(3000);  // the limit check notices
    } else {
      dlg->PostMessage(kSongWriteFailedMessage);
      dlg->PostMessage(kSongWriteFailedMessage);  // a second report changes nothing
      loop.RunPending();
    }
    EXPECT_FALSE(dlg->recordingOn());
    EXPECT_TRUE(Monitoring());
    const std::string told = "The songs folder is full or cannot be written: " + songs.string() + "/. Recording is stopped.";
    const auto lines = LoggedSince(before);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), told), 1) << testing::PrintToString(lines);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(platform::ToUtf8(boxes.shown[0].text), told);
    // The next Record tries again (and makes the folder again).
    dlg->OnRecordClick();
    EXPECT_TRUE(Recording());
    EXPECT_TRUE(fs::is_directory(songs));
  }
}

}  // namespace
