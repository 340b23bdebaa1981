// The player core that hosts hand to plug-ins: what it answers, and which
// events a sequence of player snapshots produces.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include "platform/player/core.h"
#include "platform/player/host.h"
#include "platform/player/mpris.h"
#include "recording_sink.h"

namespace platform::player {
namespace {

MediaInfo Item(std::u16string title) { return {u"Ann", std::move(title), u"file:///a.mp3"}; }

TEST(PlayerCore, TurnsSnapshotsIntoEventsOnlyOnRealChanges) {
  struct Case {
    const char* name;
    std::vector<PlayerSnapshot> updates;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"same snapshot again and again", {{Item(u"A"), 3}, {Item(u"A"), 3}, {Item(u"A"), 3}}, {"item A @3", "state 3"}},
      {"pause and resume", {{Item(u"A"), 3}, {Item(u"A"), 2}, {Item(u"A"), 3}},
       {"item A @3", "state 3", "state 2", "state 3"}},
      {"track change while playing", {{Item(u"A"), 3}, {Item(u"B"), 3}}, {"item A @3", "state 3", "item B @3"}},
      {"new item and new state: the item first, already with the new state",
       {{Item(u"A"), 2}, {Item(u"B"), 3}},
       {"item A @2", "state 2", "item B @3", "state 3"}},
      {"only the address differs", {{MediaInfo{u"a", u"t", u"u1"}, 3}, {MediaInfo{u"a", u"t", u"u2"}, 3}},
       {"item t @3", "state 3", "item t @3"}},
      {"the item goes", {{Item(u"A"), 3}, {std::nullopt, 1}}, {"item A @3", "state 3", "item none - @1", "state 1"}},
      {"stopped with nothing loaded is the start", {{std::nullopt, 1}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto core = PlayerCore::Create();
    RecordingSink sink;
    sink.core = core.get();
    uint32_t cookie = 0;
    ASSERT_EQ(core->Advise(&sink, &cookie), S_OK);
    for (const auto& u : c.updates) core->Update(u);
    EXPECT_EQ(sink.events, c.events);
    EXPECT_EQ(core->Unadvise(cookie), S_OK);
  }
}

TEST(PlayerCore, ConnectionPointKeepsSinksUntilUnadvised) {
  auto core = PlayerCore::Create();
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(core.As(IID_IConnectionPointContainer, container), S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IWMPCore, point.put()), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(IID_IWMPEvents, point.put()), S_OK);

  RecordingSink a, b;
  uint32_t cookieA = 0, cookieB = 0;
  ASSERT_EQ(point->Advise(&a, &cookieA), S_OK);
  ASSERT_EQ(point->Advise(&b, &cookieB), S_OK);
  EXPECT_NE(cookieA, 0u);
  EXPECT_NE(cookieA, cookieB);
  EXPECT_EQ(a.refs, 2u);  // the core holds each sink

  core->Update({Item(u"A"), 3});
  EXPECT_EQ(point->Unadvise(cookieA), S_OK);
  EXPECT_EQ(a.refs, 1u);
  EXPECT_EQ(point->Unadvise(cookieA), CONNECT_E_NOCONNECTION);
  core->Update({Item(u"A"), 2});
  EXPECT_EQ(a.events, (std::vector<std::string>{"item", "state 3"}));
  EXPECT_EQ(b.events, (std::vector<std::string>{"item", "state 3", "state 2"}));
  EXPECT_EQ(point->Unadvise(cookieB), S_OK);

  // A sink that is no IWMPEvents cannot connect.
  struct NotASink final : IUnknown {
    HRESULT QueryInterface(REFIID, void** o) override {
      *o = nullptr;
      return E_NOINTERFACE;
    }
    uint32_t AddRef() override { return 2; }
    uint32_t Release() override { return 1; }
  } notASink;
  uint32_t cookie = 5;
  EXPECT_EQ(point->Advise(&notASink, &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
}

TEST(PlayerCore, MediaAnswersKnownAttributesAndRefusesOthers) {
  auto media = MakeMedia({u"Ann", u"Song", u"http://radio"});
  struct Case {
    const char16_t* name;
    HRESULT result;
    std::u16string value;
  };
  const Case cases[] = {{u"Author", S_OK, u"Ann"},          {u"title", S_OK, u"Song"},
                        {u"SourceURL", S_OK, u"http://radio"}, {u"NPV", E_INVALIDARG, u""},
                        {u"", E_INVALIDARG, u""}};
  for (const Case& c : cases) {
    Bstr name(c.name);
    Bstr value;
    EXPECT_EQ(media->getItemInfo(name.get(), value.put()), c.result);
    EXPECT_EQ(value.str(), c.value);
  }
  auto core = PlayerCore::Create();
  ComPtr<IWMPMedia> none;
  EXPECT_EQ(core->get_currentMedia(none.put()), S_OK);
  EXPECT_FALSE(none);
  int32_t state = 0;
  EXPECT_EQ(core->get_playState(&state), S_OK);
  EXPECT_EQ(state, wmppsStopped);
}

GVariant* Metadata(std::initializer_list<std::pair<const char*, GVariant*>> entries) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  for (const auto& [key, value] : entries) g_variant_builder_add(&builder, "{sv}", key, value);
  return g_variant_ref_sink(g_variant_builder_end(&builder));
}

TEST(MprisMetadata, MapsArtistTitleAndUrl) {
  const char* artists[] = {"Ann", "Bob", nullptr};
  struct Case {
    const char* name;
    GVariant* metadata;
    std::optional<MediaInfo> expected;
  };
  const Case cases[] = {
      {"all three",
       Metadata({{"xesam:artist", g_variant_new_strv(artists, 1)},
                 {"xesam:title", g_variant_new_string("Song")},
                 {"xesam:url", g_variant_new_string("file:///a.mp3")},
                 {"mpris:length", g_variant_new_int64(5)}}),
       MediaInfo{u"Ann", u"Song", u"file:///a.mp3"}},
      {"several artists", Metadata({{"xesam:artist", g_variant_new_strv(artists, 2)}}), MediaInfo{u"Ann, Bob", u"", u""}},
      {"a stream: the title carries both",
       Metadata({{"xesam:title", g_variant_new_string("Ann - Song")}, {"xesam:url", g_variant_new_string("http://r")}}),
       MediaInfo{u"", u"Ann - Song", u"http://r"}},
      {"artist sent as one string", Metadata({{"xesam:artist", g_variant_new_string("Ann")}}), MediaInfo{u"Ann", u"", u""}},
      {"no track", Metadata({{"mpris:trackid", g_variant_new_object_path("/org/mpris/MediaPlayer2/TrackList/NoTrack")}}),
       std::nullopt},
      {"empty", Metadata({}), std::nullopt},
      {"wrong type for the title", Metadata({{"xesam:title", g_variant_new_int32(5)}}), MediaInfo{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MediaFromMetadata(c.metadata), c.expected);
    g_variant_unref(c.metadata);
  }
  EXPECT_EQ(MediaFromMetadata(nullptr), std::nullopt);
}

// A string table with 102 only, copying as the plug-in's entry does.
int Table(uint32_t id, char16_t* buffer, int units) {
  const std::u16string text = id == 102 ? u"Orvello Plugin" : u"";
  if (text.empty() || !buffer || units <= 0) return static_cast<int>(text.size());
  const size_t n = std::min(text.size(), static_cast<size_t>(units - 1));
  std::copy_n(text.begin(), n, buffer);
  buffer[n] = u'\0';
  return static_cast<int>(n);
}

TEST(PluginHost, RegisteredNamesComeFromThePluginsStringTable) {
  const struct {
    std::u16string value;
    DllLoadStringFn table;
    std::u16string shown;
  } cases[] = {
      {u"res://OrvWeb.dll/RT_STRING/#102", &Table, u"Orvello Plugin"},
      {u"res://OrvWeb.dll/RT_STRING/#103", &Table, u"res://OrvWeb.dll/RT_STRING/#103"},  // not in the table
      {u"res://OrvWeb.dll/RT_STRING/#102", nullptr, u"res://OrvWeb.dll/RT_STRING/#102"},  // no table at all
      {u"res://OrvWeb.dll/RT_STRING/#", &Table, u"res://OrvWeb.dll/RT_STRING/#"},
      {u"res://OrvWeb.dll/RT_STRING/#10x2", &Table, u"res://OrvWeb.dll/RT_STRING/#10x2"},
      {u"res://OrvWeb.dll/RT_STRING/#99999999999102", &Table, u"res://OrvWeb.dll/RT_STRING/#99999999999102"},
      {u"res://OrvWeb.dll/RT_ICON/#102", &Table, u"res://OrvWeb.dll/RT_ICON/#102"},
      {u"A Plain Name", &Table, u"A Plain Name"},
      {u"", &Table, u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolveRegisteredText(c.value, c.table), c.shown);
  }
}

}  // namespace
}  // namespace platform::player
