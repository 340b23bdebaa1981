// Which player is followed and what its snapshot is, for the sequences of
// announcements real players make.
#include <gtest/gtest.h>

#include "platform/player/tracker.h"

namespace platform::player {
namespace {

MediaInfo Item(std::u16string author, std::u16string title, std::u16string url = u"file:///m") {
  return {std::move(author), std::move(title), std::move(url)};
}

PlayerUpdate Meta(const MediaInfo& item) { return {std::optional<MediaInfo>(item), std::nullopt}; }
PlayerUpdate Status(int32_t state) { return {std::nullopt, state}; }
PlayerUpdate Both(const MediaInfo& item, int32_t state) { return {std::optional<MediaInfo>(item), state}; }

struct Step {
  enum Kind { Appear, Change, Vanish } kind;
  std::string player;
  PlayerUpdate update;
};

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::string followed;
  PlayerSnapshot expected;
};

TEST(PlayerTracker, FollowsThePlayingPlayer) {
  const MediaInfo a = Item(u"A", u"One"), b = Item(u"B", u"Two"), c = Item(u"C", u"Three");
  const Case cases[] = {
      {"nobody", {}, "", {}},
      {"one player, nothing loaded", {{Step::Appear, ":1.1", {}}}, ":1.1", {std::nullopt, wmppsStopped}},
      {"one playing", {{Step::Appear, ":1.1", {}}, {Step::Change, ":1.1", Both(a, wmppsPlaying)}}, ":1.1",
       {a, wmppsPlaying}},
      {"the playing one of two",
       {{Step::Appear, ":1.1", {}}, {Step::Change, ":1.1", Both(a, wmppsPaused)}, {Step::Appear, ":1.2", {}},
        {Step::Change, ":1.2", Both(b, wmppsPlaying)}},
       ":1.2",
       {b, wmppsPlaying}},
      {"of two playing, the one that started last",
       {{Step::Change, ":1.1", Both(a, wmppsPlaying)}, {Step::Change, ":1.2", Both(b, wmppsPlaying)}},
       ":1.2",
       {b, wmppsPlaying}},
      {"a new track makes a playing player the most recent",
       {{Step::Change, ":1.1", Both(a, wmppsPlaying)}, {Step::Change, ":1.2", Both(b, wmppsPlaying)},
        {Step::Change, ":1.1", Meta(c)}},
       ":1.1",
       {c, wmppsPlaying}},
      {"re-sent metadata and a repeated Playing are no activity",
       {{Step::Change, ":1.1", Both(a, wmppsPlaying)}, {Step::Change, ":1.2", Both(b, wmppsPlaying)},
        {Step::Change, ":1.1", Meta(a)}, {Step::Change, ":1.1", Status(wmppsPlaying)}},
       ":1.2",
       {b, wmppsPlaying}},
      {"a paused player stays followed while nobody plays",
       {{Step::Change, ":1.1", Both(a, wmppsPlaying)}, {Step::Change, ":1.1", Status(wmppsPaused)},
        {Step::Change, ":1.2", Both(b, wmppsStopped)}},
       ":1.1",
       {a, wmppsPaused}},
      {"when the followed player goes, the most recently active one takes over",
       {{Step::Change, ":1.1", Both(a, wmppsPlaying)}, {Step::Change, ":1.1", Status(wmppsPaused)},
        {Step::Change, ":1.2", Both(b, wmppsPlaying)}, {Step::Change, ":1.2", Status(wmppsStopped)},
        {Step::Change, ":1.3", Both(c, wmppsPaused)}, {Step::Vanish, ":1.2", {}}},
       ":1.1",
       {a, wmppsPaused}},
      {"the last player goes", {{Step::Change, ":1.1", Both(a, wmppsPlaying)}, {Step::Vanish, ":1.1", {}}}, "", {}},
      {"a track change without a status keeps the state",
       {{Step::Change, ":1.1", Both(a, wmppsPlaying)}, {Step::Change, ":1.1", Meta(b)}},
       ":1.1",
       {b, wmppsPlaying}},
      {"an unknown status changes nothing",
       {{Step::Change, ":1.1", Both(a, wmppsPaused)}, {Step::Change, ":1.1", {std::nullopt, std::nullopt}}},
       ":1.1",
       {a, wmppsPaused}},
      {"metadata naming no item clears it",
       {{Step::Change, ":1.1", Both(a, wmppsPlaying)},
        {Step::Change, ":1.1", {std::optional<std::optional<MediaInfo>>(std::in_place, std::nullopt), wmppsStopped}}},
       ":1.1",
       {std::nullopt, wmppsStopped}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlayerTracker tracker;
    for (const Step& s : c.steps) {
      switch (s.kind) {
        case Step::Appear: tracker.Appeared(s.player); break;
        case Step::Change: tracker.Changed(s.player, s.update); break;
        case Step::Vanish: tracker.Vanished(s.player); break;
      }
    }
    EXPECT_EQ(tracker.followed(), c.followed);
    EXPECT_TRUE(tracker.Current() == c.expected);
  }
}

TEST(PlayerTracker, StatusNames) {
  EXPECT_EQ(PlayStateFromStatus("Playing"), wmppsPlaying);
  EXPECT_EQ(PlayStateFromStatus("Paused"), wmppsPaused);
  EXPECT_EQ(PlayStateFromStatus("Stopped"), wmppsStopped);
  EXPECT_EQ(PlayStateFromStatus("playing"), std::nullopt);
  EXPECT_EQ(PlayStateFromStatus(""), std::nullopt);
}

TEST(MpvSnapshot, MapsMpvPropertiesToTheItemAndState) {
  struct MpvCase {
    const char* name;
    MpvProperties props;
    PlayerSnapshot expected;
  };
  const MpvCase cases[] = {
      {"idle", {"/m/a.mp3", "Song", std::nullopt, "Ann", false, true}, {}},
      {"no path", {std::nullopt, "Song", std::nullopt, std::nullopt, false, false}, {}},
      {"local file", {"/m/a.mp3", "Song", std::nullopt, "Ann", false, false},
       {MediaInfo{u"Ann", u"Song", u"/m/a.mp3"}, wmppsPlaying}},
      {"paused", {"/m/a.mp3", "Song", std::nullopt, std::nullopt, true, false},
       {MediaInfo{u"", u"Song", u"/m/a.mp3"}, wmppsPaused}},
      {"stream title wins over the media title",
       {"http://127.0.0.1:8000/radio.mp3", "radio.mp3", "Ann - Song", std::nullopt, false, false},
       {MediaInfo{u"", u"Ann - Song", u"http://127.0.0.1:8000/radio.mp3"}, wmppsPlaying}},
      {"empty stream title falls back", {"http://x/r", "Station", "", std::nullopt, false, false},
       {MediaInfo{u"", u"Station", u"http://x/r"}, wmppsPlaying}},
      {"UTF-8 texts", {"/m/\xc3\xa4.mp3", "K\xc3\xb6nig", std::nullopt, "\xe2\x82\xac", false, false},
       {MediaInfo{u"\u20ac", u"K\u00f6nig", u"/m/\u00e4.mp3"}, wmppsPlaying}},
      {"relative path made absolute", {"sub/../a.mp3", "Song", std::nullopt, std::nullopt, false, false, "/m"},
       {MediaInfo{u"", u"Song", u"/m/a.mp3"}, wmppsPlaying}},
      {"absolute path and URL as they are", {"http://x/r", "Song", std::nullopt, std::nullopt, false, false, "/m"},
       {MediaInfo{u"", u"Song", u"http://x/r"}, wmppsPlaying}},
      {"standard input is no file", {"-", "Song", std::nullopt, std::nullopt, false, false, "/m"},
       {MediaInfo{u"", u"Song", u"-"}, wmppsPlaying}},
  };
  for (const MpvCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(SnapshotFromMpv(c.props) == c.expected);
  }
}

}  // namespace
}  // namespace platform::player
