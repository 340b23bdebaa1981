// The player quirks on metadata shaped as real players send it for a radio
// station, one row a player.
#include "platform/player/quirks.h"

#include <gtest/gtest.h>

#include <cmath>

#include <string>
#include <vector>

namespace platform::player {
namespace {

GVariant* Dict(std::initializer_list<std::pair<const char*, GVariant*>> entries) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  for (const auto& [key, value] : entries) g_variant_builder_add(&builder, "{sv}", key, value);
  return g_variant_ref_sink(g_variant_builder_end(&builder));
}

GVariant* Artists(const char* artist) {
  const char* list[] = {artist, nullptr};
  return g_variant_new_strv(list, -1);
}

constexpr const char* kStation = "http://127.0.0.1:8000/radio.mp3";

// What one player sent, in order, and what plug-ins must see of each item.
struct Step {
  GVariant* metadata;
  MediaInfo expected;
};
struct PlayerRow {
  const char* player;
  std::optional<std::u16string> streamName;  // the stream's icy-name, when it was read
  std::vector<Step> steps;
  bool browser = false;
};

TEST(PlayerQuirks, EachPlayersStationItemsComeOutAsArtistDashTitle) {
  const std::u16string url = u"http://127.0.0.1:8000/radio.mp3";
  const PlayerRow rows[] = {
      {"mpv: the song in the title, no artist, the length grows",
       u"Radio Orv",
       {{Dict({{"xesam:title", g_variant_new_string("Ann - First")}, {"xesam:url", g_variant_new_string(kStation)},
               {"mpris:length", g_variant_new_int64(0)}}),
         {u"", u"Ann - First", url}}}},
      {"VLC: the station as title, the song in vlc:nowplaying",
       std::nullopt,
       {{Dict({{"xesam:title", g_variant_new_string("Radio Orv")}, {"xesam:url", g_variant_new_string(kStation)}}),
         {u"", u"Radio Orv", url}},
        {Dict({{"xesam:title", g_variant_new_string("Radio Orv")},
               {"vlc:nowplaying", g_variant_new_string("Ann - First")},
               {"xesam:url", g_variant_new_string(kStation)},
               {"mpris:length", g_variant_new_int64(-1)}}),
         {u"", u"Ann - First", url}},
        {Dict({{"xesam:title", g_variant_new_string("Radio Orv")}, {"vlc:nowplaying", g_variant_new_string("")},
               {"xesam:url", g_variant_new_string(kStation)}}),
         {u"", u"Radio Orv", url}}}},
      {"Audacious: the station as artist, known from the stream's name",
       u"Radio Orv",
       {{Dict({{"xesam:artist", Artists("Radio Orv")}, {"xesam:title", g_variant_new_string("Ann - First")},
               {"xesam:url", g_variant_new_string(kStation)}}),
         {u"", u"Ann - First", url}},
        {Dict({{"xesam:artist", Artists(" radio orv")}, {"xesam:title", g_variant_new_string("Bob - Second")},
               {"xesam:url", g_variant_new_string(kStation)}}),
         {u"", u"Bob - Second", url}}}},
      {"Audacious without the stream's name: what it showed before the first song",
       std::nullopt,
       {{Dict({{"xesam:title", g_variant_new_string("Radio Orv")}, {"xesam:url", g_variant_new_string(kStation)}}),
         {u"", u"Radio Orv", url}},
        {Dict({{"xesam:artist", Artists("Radio Orv")}, {"xesam:title", g_variant_new_string("Ann - First")},
               {"xesam:url", g_variant_new_string(kStation)}}),
         {u"", u"Ann - First", url}}}},
      {"Chromium: a page's media session, no address, an endless length; the station shown first",
       std::nullopt,
       {{Dict({{"xesam:title", g_variant_new_string("Radio Orv")}, {"mpris:length", g_variant_new_int64(INT64_MAX)}}),
         {u"", u"Radio Orv", u""}},
        {Dict({{"xesam:artist", Artists("Radio Orv")}, {"xesam:title", g_variant_new_string("Ann - First")},
               {"xesam:album", g_variant_new_string("Pop")}, {"mpris:length", g_variant_new_int64(INT64_MAX)}}),
         {u"", u"Ann - First", u""}}}},
      {"Firefox ESR: the page's address, a short length; the station shown first",
       std::nullopt,
       {{Dict({{"xesam:title", g_variant_new_string("Radio Orv")},
               {"xesam:url", g_variant_new_string("http://127.0.0.1/radio.html")},
               {"mpris:length", g_variant_new_int64(4000000)}}),
         {u"", u"Radio Orv", u"http://127.0.0.1/radio.html"}},
        {Dict({{"xesam:artist", Artists("Radio Orv")}, {"xesam:title", g_variant_new_string("Ann - First")},
               {"xesam:url", g_variant_new_string("http://127.0.0.1/radio.html")},
               {"mpris:length", g_variant_new_int64(4000000)}}),
         {u"", u"Ann - First", u"http://127.0.0.1/radio.html"}}},
       true},
      {"a page that names the song at once: the same artist over changing songs is the station",
       std::nullopt,
       {{Dict({{"xesam:artist", Artists("Radio Orv")}, {"xesam:title", g_variant_new_string("Ann - First")},
               {"mpris:length", g_variant_new_double(INFINITY)}}),
         {u"Radio Orv", u"Ann - First", u""}},
        {Dict({{"xesam:artist", Artists("Radio Orv")}, {"xesam:title", g_variant_new_string("Bob - Second")},
               {"mpris:length", g_variant_new_double(INFINITY)}}),
         {u"", u"Bob - Second", u""}}}},
      {"Strawberry: splits the stream's title itself; real artists stay",
       u"Radio Orv",
       {{Dict({{"xesam:title", g_variant_new_string("Radio Orv")}, {"xesam:url", g_variant_new_string(kStation)}}),
         {u"", u"Radio Orv", url}},
        {Dict({{"xesam:artist", Artists("Ann")}, {"xesam:title", g_variant_new_string("First")},
               {"xesam:url", g_variant_new_string(kStation)}}),
         {u"Ann", u"First", url}},
        {Dict({{"xesam:artist", Artists("Ann")}, {"xesam:title", g_variant_new_string("Second")},
               {"xesam:url", g_variant_new_string(kStation)}}),
         {u"Ann", u"Second", url}}}},
      {"Rhythmbox: a file is no stream, its artist stays even when it names a station",
       u"Radio Orv",
       {{Dict({{"xesam:artist", Artists("Radio Orv")}, {"xesam:title", g_variant_new_string("Jingle - Long")},
               {"xesam:url", g_variant_new_string("file:///music/jingle.mp3")},
               {"mpris:length", g_variant_new_int64(180000000)}}),
         {u"Radio Orv", u"Jingle - Long", u"file:///music/jingle.mp3"}}}},
      {"another station: what was learnt of the first is forgotten",
       std::nullopt,
       {{Dict({{"xesam:title", g_variant_new_string("Radio Orv")}, {"xesam:url", g_variant_new_string(kStation)}}),
         {u"", u"Radio Orv", url}},
        {Dict({{"xesam:artist", Artists("Radio Orv")}, {"xesam:title", g_variant_new_string("Ann - First")},
               {"xesam:url", g_variant_new_string("https://other.example/live")}}),
         {u"Radio Orv", u"Ann - First", u"https://other.example/live"}}}},
  };
  for (const PlayerRow& row : rows) {
    SCOPED_TRACE(row.player);
    ItemShaper shaper(row.browser);
    int n = 0;
    for (const Step& step : row.steps) {
      SCOPED_TRACE(++n);
      const auto shaped = shaper.Shape(ReadMetadata(step.metadata), row.streamName);
      ASSERT_TRUE(shaped);
      EXPECT_EQ(*shaped, step.expected);
      g_variant_unref(step.metadata);
    }
  }
}

TEST(PlayerQuirks, ProxiesAreNotFollowedVlcIsReadBrowsersCarryPages) {
  const struct {
    const char* name;
    bool follow, poll, webPages;
  } cases[] = {
      {"org.mpris.MediaPlayer2.mpv", true, false, false},
      {"org.mpris.MediaPlayer2.vlc", true, true, false},
      {"org.mpris.MediaPlayer2.vlc.instance4242", true, true, false},
      {"org.mpris.MediaPlayer2.vlcplayer", true, false, false},  // only VLC's own name
      {"org.mpris.MediaPlayer2.audacious", true, false, false},
      {"org.mpris.MediaPlayer2.chromium.instance77", true, false, true},
      {"org.mpris.MediaPlayer2.firefox.instance_1_14", true, false, true},
      {"org.mpris.MediaPlayer2.playerctld", false, false, false},
      {"org.mpris.MediaPlayer2.kdeconnect.mpris_phone_spotify", false, false, false},
      {"org.mpris.MediaPlayer2.", false, false, false},
      {"org.mpris.MediaPlayer2", false, false, false},
      {"org.freedesktop.DBus", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PlayerKind kind = KindOfPlayer(c.name);
    EXPECT_EQ(kind.follow, c.follow);
    EXPECT_EQ(kind.poll, c.poll);
    EXPECT_EQ(kind.webPages, c.webPages);
  }
}

}  // namespace
}  // namespace platform::player
