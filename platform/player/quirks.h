#pragma once
// What real players put where in MPRIS, kept in one place: which bus names
// are players worth following, which players must be read because they do
// not announce their changes, and how the shape of an item maps to the
// author and title plug-ins see.
#include <gio/gio.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/player/core.h"

namespace platform::player {

// What a well-known bus name says about the program behind it.
struct PlayerKind {
  bool follow = false;  // a player of its own; proxies mirror or relay others
  bool poll = false;    // Metadata changes go unannounced: read it while playing
  // A browser: its items are what web pages set, whose address is the page's
  // and whose length says nothing; any of them may be a station's.
  bool webPages = false;
  // Announces a new item one key at a time (title, then artist, ...): an
  // item counts only once it has settled.
  bool keyByKey = false;
};

// Any name under org.mpris.MediaPlayer2. is a player to follow, unless the
// quirk table knows better.
PlayerKind KindOfPlayer(std::string_view busName);

// The entries of one Metadata dictionary that matter. An entry of another
// type than MPRIS gives it counts as absent; each such entry, and each text
// cut to kMaxItemText, adds a line to problems.
struct RawItem {
  std::u16string artist;      // xesam:artist, a list joined with ", "
  std::u16string title;       // xesam:title
  std::u16string nowPlaying;  // vlc:nowplaying
  std::u16string url;         // xesam:url
  int64_t length = 0;         // mpris:length in microseconds, 0 when absent
  bool any = false;           // it named an item at all
};
constexpr size_t kMaxItemText = 4096;
RawItem ReadMetadata(GVariant* metadata, std::vector<std::string>* problems = nullptr);

// A live stream rather than a file: an http(s) address and no length, or an
// endless length.
bool IsStreamItem(const RawItem& raw);

// One player's items as plug-ins should see them. It remembers, for the
// stream being played, which texts name the station rather than a song: the
// stream's own name (icy-name), what the player showed before the first
// song, and an artist that stays the same while " - " titles change. Such
// an "artist" is dropped, so the recorder splits "Artist - Title" itself.
class ItemShaper {
 public:
  explicit ItemShaper(bool webPages = false) : webPages_(webPages) {}
  std::optional<MediaInfo> Shape(const RawItem& raw, const std::optional<std::u16string>& streamName = std::nullopt);

 private:
  void Remember(const std::u16string& name);
  bool IsStation(const std::u16string& name) const;

  bool webPages_;
  std::u16string url_;
  std::set<std::u16string> stations_;  // trimmed, ASCII letters folded
  bool songSeen_ = false;
  std::u16string lastArtist_;
  std::u16string lastTitle_;
};

}  // namespace platform::player
