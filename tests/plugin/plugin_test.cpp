// The plug-in object against a fake player core, through the library's
// exports as a player reaches it.
#include <gtest/gtest.h>

#include "fakes.h"
#include "plugin_fixture.h"

namespace plugin_test {
namespace {

using orvweb::NowPlayingReadResult;
using orvweb::NowPlayingSnapshot;

ComPtr<FakeCore> MakeCore(CallLog log = nullptr, std::string name = "core") {
  return ComPtr<FakeCore>(new FakeCore(std::move(name), std::move(log)));
}

class PluginObject : public PluginTest {
 protected:
  void SetUp() override { ASSERT_EQ(CreatePlugin(plugin_), S_OK); }
  void TearDown() override {
    if (plugin_) plugin_->SetCore(nullptr);
  }
  ComPtr<IWMPPluginUI> plugin_;
};

TEST_F(PluginObject, StartsWithAnAllZeroRecordAndNoNotice) {
  const NowPlayingSnapshot snap = Read();
  EXPECT_EQ(snap.playState, 0);
  EXPECT_EQ(snap.item.title, u"");
  EXPECT_EQ(Notices(), 0);
}

TEST_F(PluginObject, SetCorePublishesTheCurrentItemAtOnceThenConnects) {
  CallLog log = std::make_shared<std::vector<std::string>>();
  auto core = MakeCore(log);
  core->media = Song(u"Ann", u"First", u"http://radio/1");
  core->playState = wmppsPaused;
  EXPECT_EQ(plugin_->SetCore(core.get()), S_OK);

  const NowPlayingSnapshot snap = Read();
  EXPECT_EQ(snap.playState, wmppsPaused);  // the player's own state, not the preset
  EXPECT_EQ(snap.item.author, u"Ann");
  EXPECT_EQ(snap.item.title, u"First");
  EXPECT_EQ(snap.item.npv, u"");
  EXPECT_EQ(snap.item.sourceUrl, u"http://radio/1");
  EXPECT_EQ(Notices(), 1);
  EXPECT_EQ(*log, (std::vector<std::string>{"core.get_currentMedia", "core.Advise"}));
  EXPECT_TRUE(core->sink);
}

TEST_F(PluginObject, SetCoreWithEmptyMediaWritesNothingButConnects) {
  auto core = MakeCore();
  EXPECT_EQ(plugin_->SetCore(core.get()), S_OK);
  EXPECT_EQ(Notices(), 0);
  EXPECT_EQ(Read().playState, 0);
  EXPECT_TRUE(core->sink);
}

TEST_F(PluginObject, FailingCurrentMediaWritesNothing) {
  auto core = MakeCore();
  core->media = Song(u"Ann", u"First");
  core->mediaResult = E_FAIL;
  EXPECT_EQ(plugin_->SetCore(core.get()), S_OK);
  EXPECT_EQ(Notices(), 0);
  EXPECT_EQ(Read().item.title, u"");
}

TEST_F(PluginObject, SetCoreNullWritesNothingAndDropsTheConnection) {
  auto core = MakeCore();
  core->media = Song(u"Ann", u"First");
  ASSERT_EQ(plugin_->SetCore(core.get()), S_OK);
  Notices();
  const uint32_t refsWhileConnected = core->refs();

  EXPECT_EQ(plugin_->SetCore(nullptr), S_OK);
  EXPECT_EQ(Notices(), 0);
  EXPECT_EQ(Read().item.title, u"First");
  EXPECT_FALSE(core->sink);               // unadvised
  EXPECT_LT(core->refs(), refsWhileConnected);  // core and connection point released
  EXPECT_EQ(core->refs(), 1u);            // only the test's own reference is left
}

TEST_F(PluginObject, SecondSetCoreDropsTheOldConnectionBeforePublishingTheNew) {
  CallLog log = std::make_shared<std::vector<std::string>>();
  auto first = MakeCore(log, "first");
  auto second = MakeCore(log, "second");
  first->media = Song(u"Ann", u"First");
  second->media = Song(u"Bob", u"Second");
  first->adviseCookie = 11;
  ASSERT_EQ(plugin_->SetCore(first.get()), S_OK);
  ASSERT_EQ(plugin_->SetCore(second.get()), S_OK);

  EXPECT_EQ(*log, (std::vector<std::string>{"first.get_currentMedia", "first.Advise", "first.Unadvise 11",
                                            "second.get_currentMedia", "second.Advise"}));
  EXPECT_EQ(first->refs(), 1u);
  EXPECT_EQ(Read().item.author, u"Bob");
}

TEST_F(PluginObject, ConnectionFailuresAreReportedAndTheCoreStaysHeld) {
  struct Case {
    const char* name;
    HRESULT container, find, advise;
    uint32_t cookie;
    HRESULT expected;
  };
  const Case cases[] = {
      {"no container", E_NOINTERFACE, S_OK, S_OK, 7, E_NOINTERFACE},
      {"no connection point", S_OK, CONNECT_E_NOCONNECTION, S_OK, 7, CONNECT_E_NOCONNECTION},
      {"advise fails", S_OK, S_OK, E_OUTOFMEMORY, 7, E_OUTOFMEMORY},
      {"advise gives cookie 0", S_OK, S_OK, S_OK, 0, S_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CallLog log = std::make_shared<std::vector<std::string>>();
    auto core = MakeCore(log);
    core->media = Song(u"Ann", u"Now");
    core->containerResult = c.container;
    core->findResult = c.find;
    core->adviseResult = c.advise;
    core->adviseCookie = c.cookie;
    EXPECT_EQ(plugin_->SetCore(core.get()), c.expected);
    EXPECT_EQ(Notices(), 1);  // SetCore itself still published
    // The core is still held: a later event publishes from it.
    core->media = Song(u"Ann", u"Later");
    ComPtr<IWMPEvents> events;
    ASSERT_EQ(plugin_->QueryInterface(IID_IWMPEvents, events.put_void()), S_OK);
    events->CurrentItemChange(nullptr);
    EXPECT_EQ(Read().item.title, u"Later");
    Notices();
    // Nothing to unadvise: no connection point was kept.
    log->clear();
    EXPECT_EQ(plugin_->SetCore(nullptr), S_OK);
    EXPECT_TRUE(log->empty());
    core->sink.reset();
  }
}

TEST_F(PluginObject, PauseAndResumeGiveTwoStateWritesWithTextsUnchanged) {
  auto core = MakeCore();
  core->media = Song(u"Ann", u"First");
  ASSERT_EQ(plugin_->SetCore(core.get()), S_OK);
  Notices();

  core->sink->PlayStateChange(wmppsPaused);
  NowPlayingSnapshot snap = Read();
  EXPECT_EQ(snap.playState, wmppsPaused);
  EXPECT_EQ(snap.item.title, u"First");
  EXPECT_EQ(Notices(), 1);

  core->sink->PlayStateChange(wmppsPlaying);
  snap = Read();
  EXPECT_EQ(snap.playState, wmppsPlaying);
  EXPECT_EQ(snap.item.author, u"Ann");
  EXPECT_EQ(Notices(), 1);

  core->sink->PlayStateChange(10);  // other states pass through as they are
  EXPECT_EQ(Read().playState, 10);
}

TEST_F(PluginObject, AttributeReadsTakeEachValueOnItsOwn) {
  struct Case {
    const char* name;
    std::map<std::u16string, std::optional<std::u16string>> attributes;
    NowPlayingSnapshot expected;
  };
  const Case cases[] = {
      {"title read fails after author",
       {{u"Author", u"Ann"}, {u"Title", std::nullopt}, {u"NPV", u"http://npv"}, {u"SourceURL", u"u"}},
       {3, {u"Ann", u"", u"http://npv", u"u"}}},
      {"every read fails", {}, {3, {u"", u"", u"", u""}}},
      {"no NPV, no Author", {{u"Title", u"T"}, {u"SourceURL", u"file:///a.mp3"}}, {3, {u"", u"T", u"", u"file:///a.mp3"}}},
      {"texts as they come", {{u"Author", u"  Ann "}, {u"Title", u"A - B\t"}}, {3, {u"  Ann ", u"A - B\t", u"", u""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto core = MakeCore();
    core->media = Media(c.attributes);
    ASSERT_EQ(plugin_->SetCore(core.get()), S_OK);
    const NowPlayingSnapshot snap = Read();
    EXPECT_EQ(snap.playState, c.expected.playState);
    EXPECT_EQ(snap.item.author, c.expected.item.author);
    EXPECT_EQ(snap.item.title, c.expected.item.title);
    EXPECT_EQ(snap.item.npv, c.expected.item.npv);
    EXPECT_EQ(snap.item.sourceUrl, c.expected.item.sourceUrl);
    plugin_->SetCore(nullptr);
  }
}

TEST_F(PluginObject, FailingPlayStateReadKeepsPlaying) {
  auto core = MakeCore();
  core->media = Song(u"Ann", u"First");
  core->playState = std::nullopt;
  ASSERT_EQ(plugin_->SetCore(core.get()), S_OK);
  EXPECT_EQ(Read().playState, wmppsPlaying);
}

TEST_F(PluginObject, AFullWriteClearsTheTailOfLongerEarlierTexts) {
  auto core = MakeCore();
  core->media = Song(u"A much longer artist name", u"A much longer title");
  ASSERT_EQ(plugin_->SetCore(core.get()), S_OK);
  core->media = Song(u"Bo", u"Hi");
  core->sink->CurrentItemChange(nullptr);
  const NowPlayingSnapshot snap = Read();
  EXPECT_EQ(snap.item.author, u"Bo");
  EXPECT_EQ(snap.item.title, u"Hi");
}

TEST_F(PluginObject, OtherEventsLeaveRecordAndReaderAlone) {
  auto core = MakeCore();
  core->media = Song(u"Ann", u"First");
  ASSERT_EQ(plugin_->SetCore(core.get()), S_OK);
  Notices();
  core->media = Song(u"Bob", u"Second");  // would show if any event published
  IWMPEvents* e = core->sink.get();
  Bstr text(u"x");
  e->OpenStateChange(1);
  e->Buffering(VARIANT_TRUE);
  e->Error();
  e->Warning(1, 2, text.get());
  e->EndOfStream(0);
  e->PositionChange(1.0, 2.0);
  e->MediaChange(nullptr);
  e->MediaError(nullptr);
  e->Click(1, 0, 5, 5);
  e->KeyDown(13, 0);
  e->MouseMove(0, 0, 1, 1);
  e->MouseUp(1, 0, 1, 1);
  EXPECT_EQ(Notices(), 0);
  EXPECT_EQ(Read().item.title, u"First");
}

TEST_F(PluginTest, DestructionPublishesStateEightWithTheLastTextsThenTheSectionGoes) {
  for (bool coreHoldsSink : {true, false}) {
    SCOPED_TRACE(coreHoldsSink ? "core holds the sink" : "core holds no sink");
    ComPtr<IWMPPluginUI> plugin;
    ASSERT_EQ(CreatePlugin(plugin), S_OK);
    CallLog log = std::make_shared<std::vector<std::string>>();
    auto core = MakeCore(log);
    core->holdSink = coreHoldsSink;
    core->media = Song(u"Ann", u"First", u"http://radio/1");
    ASSERT_EQ(plugin->SetCore(core.get()), S_OK);
    // A player lets go of its connection before the last release.
    if (coreHoldsSink) plugin->SetCore(nullptr);
    Notices();
    log->clear();

    const int fd = OpenSection();
    ASSERT_GE(fd, 0);
    plugin.reset();

    EXPECT_EQ(Notices(), 1);
    orvweb::NowPlayingRecord record{};
    ASSERT_EQ(::pread(fd, &record, sizeof record, 0), static_cast<ssize_t>(sizeof record));
    ::close(fd);
    const NowPlayingSnapshot last = orvweb::DecodeNowPlaying(record);
    EXPECT_EQ(last.playState, orvweb::kPlayStateMediaEnded);
    EXPECT_EQ(last.item.author, u"Ann");
    EXPECT_EQ(last.item.title, u"First");
    EXPECT_EQ(last.item.sourceUrl, u"http://radio/1");
    EXPECT_FALSE(orvweb::NowPlayingPresent());
    NowPlayingSnapshot after;
    EXPECT_EQ(orvweb::ReadNowPlaying(after), NowPlayingReadResult::NotPresent);
    // Still connected at the end: the last release unadvises.
    EXPECT_EQ(*log, coreHoldsSink ? std::vector<std::string>{} : std::vector<std::string>{"core.Unadvise 7"});
    EXPECT_EQ(core->refs(), 1u);
  }
}

TEST_F(PluginTest, AReaderWokenByTheClosingNoticeFindsTheClosingRecordUnderItsName) {
  ComPtr<IWMPPluginUI> plugin;
  ASSERT_EQ(CreatePlugin(plugin), S_OK);
  auto core = MakeCore();
  core->holdSink = false;  // connected until the last release
  core->media = Song(u"Ann", u"First", u"http://radio/1");
  ASSERT_EQ(plugin->SetCore(core.get()), S_OK);
  Notices();

  // What a reader sees once the notice is out, while the plug-in goes on
  // with its shutdown: the section is still there, holding the last word.
  int noticesBefore = -1;
  NowPlayingSnapshot seen;
  NowPlayingReadResult result = NowPlayingReadResult::NotPresent;
  core->onUnadvise = [&] {
    noticesBefore = Notices();
    result = orvweb::ReadNowPlaying(seen);
  };
  plugin.reset();

  EXPECT_EQ(noticesBefore, 1);
  ASSERT_EQ(result, NowPlayingReadResult::Ok);
  EXPECT_EQ(seen.playState, orvweb::kPlayStateMediaEnded);
  EXPECT_EQ(seen.item.author, u"Ann");
  EXPECT_EQ(seen.item.title, u"First");
  EXPECT_EQ(Notices(), 0);  // one notice in all
  NowPlayingSnapshot after;
  EXPECT_EQ(orvweb::ReadNowPlaying(after), NowPlayingReadResult::NotPresent);
}

TEST_F(PluginTest, ASecondObjectFailsWhileTheFirstLivesAndLeavesItsRecord) {
  ComPtr<IWMPPluginUI> first;
  ASSERT_EQ(CreatePlugin(first), S_OK);
  auto core = MakeCore();
  core->media = Song(u"Ann", u"First");
  ASSERT_EQ(first->SetCore(core.get()), S_OK);
  Notices();

  ComPtr<IWMPPluginUI> second;
  EXPECT_EQ(CreatePlugin(second), E_FAIL);
  EXPECT_FALSE(second);
  EXPECT_EQ(Notices(), 0);  // the failed object neither wrote nor posted
  EXPECT_EQ(Read().item.title, u"First");
  EXPECT_EQ(Read().playState, wmppsPlaying);

  first->SetCore(nullptr);
  first.reset();
  EXPECT_EQ(CreatePlugin(second), S_OK);  // free again once the first is gone
}

TEST_F(PluginObject, GetPropertyAnswersOnlyTheDefaultSize) {
  struct Case {
    const char16_t* name;
    HRESULT expected;
  };
  const Case cases[] = {
      {u"DefaultWidth", S_OK},   {u"defaultwidth", S_OK},   {u"DEFAULTHEIGHT", S_OK},
      {u"DefaultHeight", S_OK},  {u"DefaultWidth2", E_NOTIMPL}, {u"DefaultWidt", E_NOTIMPL},
      {u"", E_NOTIMPL},          {nullptr, E_NOTIMPL},      {u"Capabilities", E_NOTIMPL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)) : "null");
    VARIANT value;
    VariantInit(&value);
    value.vt = 77;
    value.lVal = -5;
    EXPECT_EQ(plugin_->GetProperty(c.name, &value), c.expected);
    if (c.expected == S_OK) {
      EXPECT_EQ(value.vt, VT_I4);
      EXPECT_EQ(value.lVal, 100);
    } else {
      EXPECT_EQ(value.vt, 77);  // untouched
      EXPECT_EQ(value.lVal, -5);
    }
  }
  EXPECT_EQ(plugin_->GetProperty(u"DefaultWidth", nullptr), E_POINTER);
}

TEST_F(PluginObject, WindowCallsWithoutAWindow) {
  MSG msg{};
  HWND window = reinterpret_cast<HWND>(0x1);
  EXPECT_EQ(plugin_->Destroy(), E_UNEXPECTED);
  EXPECT_EQ(plugin_->TranslateAccelerator(&msg), E_UNEXPECTED);
  EXPECT_EQ(plugin_->TranslateAccelerator(nullptr), E_UNEXPECTED);
  EXPECT_EQ(plugin_->Create(nullptr, nullptr), E_UNEXPECTED);
  // No parent: the window cannot be made, and the object keeps none.
  EXPECT_EQ(plugin_->Create(nullptr, &window), E_FAIL);
  EXPECT_EQ(window, reinterpret_cast<HWND>(0x1));
  EXPECT_EQ(plugin_->Destroy(), E_UNEXPECTED);
  EXPECT_EQ(plugin_->TranslateAccelerator(&msg), E_UNEXPECTED);
  EXPECT_EQ(plugin_->DisplayPropertyPage(nullptr), E_NOTIMPL);
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(plugin_->SetProperty(u"DefaultWidth", &v), E_NOTIMPL);
}

TEST_F(PluginObject, AnswersItsInterfacesWithOneIdentity) {
  ComPtr<IUnknown> fromUi, fromEvents;
  ComPtr<IWMPEvents> events;
  ASSERT_EQ(plugin_->QueryInterface(IID_IWMPEvents, events.put_void()), S_OK);
  ASSERT_EQ(plugin_->QueryInterface(IID_IUnknown, fromUi.put_void()), S_OK);
  ASSERT_EQ(events->QueryInterface(IID_IUnknown, fromEvents.put_void()), S_OK);
  EXPECT_EQ(fromUi.get(), fromEvents.get());
  ComPtr<IUnknown> other;
  for (const IID& iid : {IID_IWMPCore, IID_IDispatch, IID_IClassFactory, IID_IConnectionPoint}) {
    EXPECT_EQ(plugin_->QueryInterface(iid, other.put_void()), E_NOINTERFACE);
    EXPECT_FALSE(other);
  }
}

// An outer object that counts the references the inner one forwards to it.
class CountingOuter final : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown) {
      *object = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(iid, object) : E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs; }
  uint32_t Release() override { return --refs; }
  IUnknown* inner = nullptr;
  uint32_t refs = 1;
};

TEST_F(PluginTest, AggregationGoesThroughIUnknownOnly) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(Module::Get().getClassObject(kClsid, IID_IClassFactory, factory.put_void()), S_OK);
  CountingOuter outer;
  void* object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IWMPPluginUI, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);

  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &object), S_OK);
  outer.inner = static_cast<IUnknown*>(object);
  IWMPPluginUI* ui = nullptr;
  ASSERT_EQ(outer.inner->QueryInterface(IID_IWMPPluginUI, reinterpret_cast<void**>(&ui)), S_OK);
  EXPECT_EQ(outer.refs, 2u);  // the interface's reference belongs to the outer object
  IUnknown* identity = nullptr;
  ASSERT_EQ(ui->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, &outer);
  identity->Release();
  ui->Release();
  EXPECT_EQ(outer.refs, 1u);
  outer.inner->Release();  // the inner object's own last reference
  EXPECT_FALSE(orvweb::NowPlayingPresent());
}

TEST_F(PluginTest, ClassFactoryAndUnloadCheck) {
  Module& m = Module::Get();
  ComPtr<IClassFactory> factory;
  CLSID other = kClsid;
  other.Data1 ^= 1;
  EXPECT_EQ(m.getClassObject(other, IID_IClassFactory, factory.put_void()), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_FALSE(factory);
  EXPECT_EQ(m.canUnloadNow(), S_OK);

  ASSERT_EQ(m.getClassObject(kClsid, IID_IClassFactory, factory.put_void()), S_OK);
  EXPECT_EQ(m.canUnloadNow(), S_FALSE);  // a factory reference holds the library
  ASSERT_EQ(factory->LockServer(1), S_OK);
  ComPtr<IClassFactory> keep = factory;
  factory.reset();
  keep.reset();
  EXPECT_EQ(m.canUnloadNow(), S_FALSE);  // locked
  ComPtr<IClassFactory> again;
  ASSERT_EQ(m.getClassObject(kClsid, IID_IClassFactory, again.put_void()), S_OK);
  again->LockServer(0);
  again.reset();
  EXPECT_EQ(m.canUnloadNow(), S_OK);

  ComPtr<IWMPPluginUI> plugin;
  ASSERT_EQ(CreatePlugin(plugin), S_OK);
  EXPECT_EQ(m.canUnloadNow(), S_FALSE);  // an object lives
  plugin.reset();
  EXPECT_EQ(m.canUnloadNow(), S_OK);

  ComPtr<IUnknown> bad;
  ASSERT_EQ(m.getClassObject(kClsid, IID_IClassFactory, factory.put_void()), S_OK);
  // The object is made (channel opened) and let go again when the
  // interface is not offered.
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IWMPCore, bad.put_void()), E_NOINTERFACE);
  EXPECT_FALSE(orvweb::NowPlayingPresent());
  factory.reset();
  EXPECT_EQ(m.canUnloadNow(), S_OK);
}

}  // namespace
}  // namespace plugin_test
