// The options page over fake devices, an in-memory page and a fake host:
// what the page is filled with, and what OK and Cancel leave in the settings.
#include "recorder/ui/options_dlg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fake_host.h"
#include "platform/audio/fake_audio.h"
#include "platform/shell/fake_message_box.h"
#include "platform/text/utf.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using orvweb::ui::COptionsDlg;
using platform::audio::FakeCaptureDevice;
using platform::audio::PinDirection;
using platform::html::ElementState;
using platform::html::PageEvent;

std::string S(const std::u16string& s) { return platform::ToUtf8(s); }
std::u16string U(const std::string& s) { return platform::FromUtf8(s); }

class ScriptedChooser : public orvweb::ui::IFolderChooser {
 public:
  std::optional<std::u16string> ChooseFolder(std::u16string_view title, std::u16string_view initial,
                                             orvweb::ui::IDialogHost* owner) override {
    calls.push_back({S(std::u16string(title)), S(std::u16string(initial))});
    owners.push_back(owner);
    return answer;
  }
  std::optional<std::u16string> answer;
  std::vector<std::pair<std::string, std::string>> calls;
  std::vector<orvweb::ui::IDialogHost*> owners;
};

class Options : public ::testing::Test {
 protected:
  Options() {
    orvweb::WriteProfileString(orvweb::kKeySongsFolder, U((home.path() / "songs").string()) + u"/");
    factory.prepare = [this](ui_test::FakeHost& host) {
      auto& page = host.page_;
      for (const char* id : {"AudioSource", "AudioInput"}) page.AddElement(id, "select");
      for (const char* id : {"SongsFolder", "FormatLameEnc", "FormatWMA", "ShowRecordLevel"}) page.AddElement(id, "input");
      for (const char* id : {"LameTitle", "ButtonBrowse", "ButtonOK", "ButtonCancel"}) page.AddElement(id);
      if (removeSource) page.RemoveElement("AudioSource");
      host.onRun = [this, &host] {
        host.handlers.documentComplete("res://orvweb/LoadingPage");
        host.handlers.documentComplete(OptionsUrl());
        for (auto& step : script) step(host);
      };
    };
    orvweb::ui::OptionsServices services;
    services.makeHost = factory.Make();
    services.audio = &audio;
    services.messageBox = &boxes;
    services.folderChooser = &chooser;
    services.probeEncoder = [this] { return encoder; };
    dlg = std::make_unique<COptionsDlg>(std::move(services));
  }

  static std::string OptionsUrl() { return S(orvweb::LoadMessage(orvweb::IDS_OPTIONS_PAGE)); }

  void AddDevice(const std::string& name, const std::string& friendly, std::vector<PinDirection> pins) {
    std::vector<platform::audio::PinInfo> infos;
    for (size_t i = 0; i < pins.size(); ++i) infos.push_back({pins[i], U("Pin " + std::to_string(i))});
    audio.AddDevice(std::make_shared<FakeCaptureDevice>(platform::audio::DeviceInfo{name, U(friendly)}, infos));
  }

  // The page's state as the page would send it with an event.
  static PageEvent Event(ui_test::FakeHost& host, PageEvent::Kind kind, const std::string& id) {
    PageEvent event;
    event.kind = kind;
    event.id = id;
    for (const char* el : {"AudioSource", "AudioInput", "SongsFolder", "FormatLameEnc", "FormatWMA", "ShowRecordLevel"}) {
      const auto* e = host.page_.Find(el);
      if (!e) continue;
      ElementState state;
      state.value = e->value;
      state.checked = e->checked;
      state.selectedIndex = e->selected;
      if (!e->options.empty() && e->selected >= 0) state.value = e->options[static_cast<size_t>(e->selected)].value;
      event.elements[el] = state;
    }
    return event;
  }
  static void Click(ui_test::FakeHost& host, const std::string& id) {
    host.handlers.pageEvent(Event(host, PageEvent::Kind::Click, id));
  }

  std::vector<std::string> Texts(const char* id) {
    std::vector<std::string> texts;
    for (const auto& o : factory.last().page_.Find(id)->options) texts.push_back(S(o.text) + "=" + S(o.value));
    return texts;
  }
  const platform::html::MemoryPage::Element& El(const char* id) { return *factory.last().page_.Find(id); }

  testing_support::TempDir home;
  testing_support::ScopedEnv homeEnv{"HOME", home.path().string()};
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", (home.path() / "config").string()};
  testing_support::ScopedEnv languageEnv{"LANGUAGE", "en"};
  platform::audio::FakeAudioSystem audio;
  platform::shell::FakeMessageBox boxes;
  ScriptedChooser chooser;
  std::optional<std::pair<int, int>> encoder = std::pair<int, int>{3, 100};
  ui_test::HostFactory factory;
  std::vector<std::function<void(ui_test::FakeHost&)>> script;
  bool removeSource = false;
  std::unique_ptr<COptionsDlg> dlg;
};

TEST_F(Options, SourcesGoInAtPositionOneAndFollowTheStoredName) {
  AddDevice("a.monitor", "A", {PinDirection::Output, PinDirection::Input});
  AddDevice("b.monitor", "B", {PinDirection::Output, PinDirection::Input});
  AddDevice("c.monitor", "C", {PinDirection::Output, PinDirection::Input});
  struct Case {
    std::string sourceName;
    int selected;
  };
  // A name that differs in case only selects no device: the list shows its first.
  for (const Case& c : std::vector<Case>{{"b.monitor", 2}, {"c.monitor", 1}, {"a.monitor", 0}, {"B.monitor", 0}, {"", 0}}) {
    SCOPED_TRACE(c.sourceName);
    orvweb::WriteProfileString(orvweb::kKeySourceName, U(c.sourceName));
    EXPECT_EQ(dlg->RunModal(nullptr), orvweb::kDialogCancel);
    EXPECT_EQ(Texts("AudioSource"), (std::vector<std::string>{"A=a.monitor", "C=c.monitor", "B=b.monitor"}));
    EXPECT_EQ(El("AudioSource").selected, c.selected);
    // The inputs are those of the device the list shows.
    EXPECT_EQ(Texts("AudioInput"), std::vector<std::string>{"Pin 1=1"});
  }
}

TEST_F(Options, InputValuesCountEveryPinAndTheStoredIndexSelects) {
  AddDevice("d", "D", {PinDirection::Output, PinDirection::Output, PinDirection::Input, PinDirection::Input});
  orvweb::WriteProfileString(orvweb::kKeySourceName, u"d");
  // No stored line, or one the device lacks: the first line, never none.
  for (auto [stored, selected] : std::vector<std::pair<int, int>>{{1, 1}, {0, 0}, {-1, 0}, {7, 0}}) {
    orvweb::WriteProfileInt(orvweb::kKeySourceInput, stored);
    dlg->RunModal(nullptr);
    EXPECT_EQ(Texts("AudioInput"), (std::vector<std::string>{"Pin 2=2", "Pin 3=3"}));
    EXPECT_EQ(El("AudioInput").selected, selected) << stored;
  }
}

TEST_F(Options, SourceChangeRefillsInputsWithTheFirstLineChosen) {
  AddDevice("a", "A", {PinDirection::Output, PinDirection::Input});
  AddDevice("b", "B", {PinDirection::Output, PinDirection::Input, PinDirection::Input});
  orvweb::WriteProfileString(orvweb::kKeySourceName, u"a");
  orvweb::WriteProfileInt(orvweb::kKeySourceInput, 0);
  script.push_back([](ui_test::FakeHost& host) {
    host.page_.AddElement("AudioSource", "select").value = u"b";
    PageEvent change = Event(host, PageEvent::Kind::Change, "AudioSource");
    change.elements["AudioSource"].value = u"b";
    host.handlers.pageEvent(change);
  });
  script.push_back([](ui_test::FakeHost& host) {
    PageEvent ok = Event(host, PageEvent::Kind::Click, "ButtonOK");
    ok.elements["AudioSource"].value = u"b";
    host.handlers.pageEvent(ok);
  });
  EXPECT_EQ(dlg->RunModal(nullptr), orvweb::kDialogOk);
  EXPECT_EQ(Texts("AudioInput"), (std::vector<std::string>{"Pin 1=1", "Pin 2=2"}));
  EXPECT_EQ(El("AudioInput").selected, 0);
  EXPECT_EQ(S(orvweb::GetProfileString(orvweb::kKeySourceName, u"")), "b");
  EXPECT_EQ(orvweb::GetProfileInt(orvweb::kKeySourceInput, 5), 0);
}

TEST_F(Options, OkWritesWhatThePageShowsAndKeepsTheFormatWhenNoneIsChecked) {
  AddDevice("a", "A", {PinDirection::Output, PinDirection::Input});
  struct Case {
    bool lame, wma;
    int stored, expected;
  };
  for (const Case& c : std::vector<Case>{{true, false, 2, 1}, {false, true, 1, 2}, {true, true, 2, 1},
                                         {false, false, 1, 1}, {false, false, 2, 2}}) {
    SCOPED_TRACE(testing::Message() << c.lame << c.wma << c.stored);
    orvweb::WriteProfileInt(orvweb::kKeyOutputFormat, c.stored);
    orvweb::WriteProfileInt(orvweb::kKeyShowRecLevel, 1);
    const std::string typed = (home.path() / "typed" / "here").string();
    script = {[c, typed](ui_test::FakeHost& host) {
      PageEvent ok = Event(host, PageEvent::Kind::Click, "ButtonOK");
      ok.elements["FormatLameEnc"].checked = c.lame;
      ok.elements["FormatWMA"].checked = c.wma;
      ok.elements["ShowRecordLevel"].checked = false;
      ok.elements["SongsFolder"].value = U(typed);
      ok.elements["AudioInput"].selectedIndex = 0;
      host.handlers.pageEvent(ok);
    }};
    EXPECT_EQ(dlg->RunModal(nullptr), orvweb::kDialogOk);
    EXPECT_EQ(orvweb::GetProfileInt(orvweb::kKeyOutputFormat, 0), c.expected);
    EXPECT_EQ(orvweb::GetProfileInt(orvweb::kKeyShowRecLevel, 1), 0);
    EXPECT_EQ(S(orvweb::GetProfileString(orvweb::kKeySongsFolder, u"")), typed);
    EXPECT_EQ(S(orvweb::GetProfileString(orvweb::kKeySourceName, u"")), "a");
    EXPECT_EQ(orvweb::GetProfileInt(orvweb::kKeySourceInput, 5), 0);
  }
}

TEST_F(Options, ATypedSongsFolderIsExpandedOrRefusedWhileThePageStaysOpen) {
  AddDevice("a", "A", {PinDirection::Output, PinDirection::Input});
  fs::create_directories(home.path() / "file");
  std::ofstream(home.path() / "file" / "plain") << "x";
  struct Case {
    const char* typed;
    const char* stored;  // nullptr: refused, the page stays open
    const char* told;
  };
  const std::string h = home.path().string();
  const std::string before = S(orvweb::GetProfileString(orvweb::kKeySongsFolder, u""));
  for (const Case& c : std::vector<Case>{{"~/Music/Songs", "/Music/Songs", ""},
                                         {"~", "", ""},
                                         {"Music", nullptr, "must be a full path"},
                                         {"~other/Music", nullptr, "must be a full path"},
                                         {"/file/plain/sub", nullptr, "cannot be created"}}) {
    SCOPED_TRACE(c.typed);
    std::string typed = c.typed;
    if (typed.rfind("/file", 0) == 0) typed = h + typed;
    boxes.shown.clear();
    bool endedOnOk = true;
    script = {[&](ui_test::FakeHost& host) {
      PageEvent ok = Event(host, PageEvent::Kind::Click, "ButtonOK");
      ok.elements["SongsFolder"].value = U(typed);
      host.handlers.pageEvent(ok);
      if (!c.stored) {
        endedOnOk = false;
        Click(host, "ButtonCancel");
      }
    }};
    const int result = dlg->RunModal(nullptr);
    if (c.stored) {
      EXPECT_EQ(result, orvweb::kDialogOk);
      EXPECT_EQ(S(orvweb::GetProfileString(orvweb::kKeySongsFolder, u"")), h + c.stored);
      EXPECT_TRUE(fs::is_directory(h + c.stored));
      EXPECT_TRUE(boxes.shown.empty());
      orvweb::WriteProfileString(orvweb::kKeySongsFolder, U(before));
    } else {
      EXPECT_FALSE(endedOnOk);
      EXPECT_EQ(result, orvweb::kDialogCancel);
      EXPECT_EQ(S(orvweb::GetProfileString(orvweb::kKeySongsFolder, u"")), before);
      ASSERT_EQ(boxes.shown.size(), 1u);
      EXPECT_NE(S(boxes.shown[0].text).find(c.told), std::string::npos) << S(boxes.shown[0].text);
      EXPECT_FALSE(fs::exists("Music"));
    }
  }
}

TEST_F(Options, CancelAfterBrowseLeavesTheSettingsAlone) {
  const std::string stored = S(orvweb::GetProfileString(orvweb::kKeySongsFolder, u""));
  chooser.answer = u"/chosen/folder";
  script.push_back([](ui_test::FakeHost& host) { Click(host, "ButtonBrowse"); });
  script.push_back([](ui_test::FakeHost& host) { Click(host, "ButtonCancel"); });
  EXPECT_EQ(dlg->RunModal(nullptr), orvweb::kDialogCancel);
  ASSERT_EQ(chooser.calls.size(), 1u);
  EXPECT_EQ(chooser.calls[0].first, "Choose Songs Folder");
  EXPECT_EQ(chooser.calls[0].second, stored);
  EXPECT_NE(chooser.owners[0], nullptr);
  EXPECT_EQ(S(El("SongsFolder").value), "/chosen/folder");
  EXPECT_EQ(S(orvweb::GetProfileString(orvweb::kKeySongsFolder, u"")), stored);
  // Closing by the frame is Cancel too.
  script = {[](ui_test::FakeHost& host) { host.handlers.closeRequested(); }};
  EXPECT_EQ(dlg->RunModal(nullptr), orvweb::kDialogCancel);
}

TEST_F(Options, EncoderLineAndFormatChecksAtLoad) {
  orvweb::WriteProfileInt(orvweb::kKeyOutputFormat, 1);
  dlg->RunModal(nullptr);
  EXPECT_EQ(S(El("LameTitle").text), "Lame MP3 Encoder v3.100");
  EXPECT_TRUE(El("FormatLameEnc").checked);
  EXPECT_FALSE(El("FormatWMA").checked);
  EXPECT_FALSE(El("FormatLameEnc").disabled);
  EXPECT_TRUE(El("ShowRecordLevel").checked);

  encoder.reset();
  orvweb::WriteProfileInt(orvweb::kKeyShowRecLevel, 0);
  dlg->RunModal(nullptr);
  EXPECT_EQ(S(El("LameTitle").innerHtml), "<font color=\"Gray\">lame_enc.dll is not found</font>");
  EXPECT_TRUE(El("FormatLameEnc").disabled);
  // The stored MP3 shows as WMA while the library is missing.
  EXPECT_TRUE(El("FormatWMA").checked);
  EXPECT_FALSE(El("FormatLameEnc").checked);
  EXPECT_FALSE(El("ShowRecordLevel").checked);
  EXPECT_EQ(orvweb::GetProfileInt(orvweb::kKeyOutputFormat, 0), 1);
}

TEST_F(Options, PageWithoutSourceListClosesWithOkAndTheLoadFailure) {
  removeSource = true;
  EXPECT_EQ(dlg->RunModal(nullptr), orvweb::kDialogOk);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, orvweb::LoadMessage(orvweb::IDS_UI_LOAD_FAILED));
  EXPECT_EQ(boxes.shown[0].icon, platform::shell::MessageBoxIcon::Stop);
  EXPECT_TRUE(factory.last().navigations.size() == 2u);
}

TEST_F(Options, TemplateAndOwner) {
  dlg->RunModal(nullptr);
  const auto& t = factory.last().dialog;
  EXPECT_EQ(S(t.caption), "Orvello Options");
  EXPECT_EQ(t.widthDlu, 308);
  EXPECT_EQ(t.heightDlu, 177);
  EXPECT_FALSE(t.minimizeBox);
  EXPECT_FALSE(t.helpKey);
  EXPECT_EQ(factory.last().owner, nullptr);
  EXPECT_EQ(factory.last().navigations,
            (std::vector<std::string>{"res://orvweb/LoadingPage", OptionsUrl()}));
}

}  // namespace
