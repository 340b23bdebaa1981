#include "platform/player/quirks.h"

#include <algorithm>

#include "platform/text/utf.h"

namespace platform::player {
namespace {

constexpr std::string_view kMprisPrefix = "org.mpris.MediaPlayer2.";
constexpr int64_t kEndless = INT64_MAX / 2;  // longer than any recording: a live source

struct Quirk {
  std::string_view name;  // matches itself and name.<instance>
  PlayerKind kind;
};

// Players that differ from "a player that announces its changes".
constexpr Quirk kQuirks[] = {
    // Mirrors whichever player was active last: following it would follow
    // that player twice, and keep "playing" after it left.
    {"org.mpris.MediaPlayer2.playerctld", {.follow = false}},
    // A paired phone's players, relayed: nothing this machine plays.
    {"org.mpris.MediaPlayer2.kdeconnect", {.follow = false}},
    // VLC 3 reads a stream's titles (vlc:nowplaying) without announcing them.
    {"org.mpris.MediaPlayer2.vlc", {.follow = true, .poll = true}},
    // Firefox gives a page's media session the page's address and a short,
    // changing length; Chromium gives no address and an endless length, and
    // passes a page's new item on key by key.
    {"org.mpris.MediaPlayer2.firefox", {.follow = true, .webPages = true, .keyByKey = true}},
    {"org.mpris.MediaPlayer2.chromium", {.follow = true, .webPages = true, .keyByKey = true}},
    {"org.mpris.MediaPlayer2.chrome", {.follow = true, .webPages = true, .keyByKey = true}},
};

bool NameMatches(std::string_view busName, std::string_view name) {
  if (busName.substr(0, name.size()) != name) return false;
  return busName.size() == name.size() || busName[name.size()] == '.';
}

std::u16string Cut(std::u16string text, const char* key, std::vector<std::string>* problems) {
  if (text.size() <= kMaxItemText) return text;
  size_t keep = kMaxItemText;
  if (text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) --keep;  // never half a pair
  text.resize(keep);
  if (problems) problems->push_back(std::string(key) + " is longer than " + std::to_string(kMaxItemText) + " characters; cut");
  return text;
}

// A text entry: a string, or a list of strings joined with ", " (artists are
// lists; some players send one string).
std::u16string TextOf(GVariant* metadata, const char* key, std::vector<std::string>* problems, bool* present) {
  GVariant* value = g_variant_lookup_value(metadata, key, nullptr);
  if (!value) return {};
  *present = true;
  std::u16string text;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
    text = FromUtf8(g_variant_get_string(value, nullptr));
  } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
    gsize n = 0;
    const gchar** items = g_variant_get_strv(value, &n);
    std::string joined;
    for (gsize i = 0; i < n && joined.size() <= 4 * kMaxItemText; ++i) {
      if (!joined.empty()) joined += ", ";
      joined += items[i];
    }
    g_free(items);
    text = FromUtf8(joined);
  } else if (problems) {
    problems->push_back(std::string(key) + " has type " + g_variant_get_type_string(value) + "; ignored");
  }
  g_variant_unref(value);
  return Cut(std::move(text), key, problems);
}

int64_t LengthOf(GVariant* metadata, std::vector<std::string>* problems) {
  GVariant* value = g_variant_lookup_value(metadata, "mpris:length", nullptr);
  if (!value) return 0;
  int64_t length = 0;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT64)) {
    length = g_variant_get_int64(value);
  } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT64)) {
    length = static_cast<int64_t>(std::min<guint64>(g_variant_get_uint64(value), INT64_MAX));
  } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT32)) {
    length = g_variant_get_int32(value);
  } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) {
    length = g_variant_get_uint32(value);
  } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_DOUBLE)) {
    const double d = g_variant_get_double(value);
    length = !(d > 0) ? 0 : d >= 9e18 ? INT64_MAX : static_cast<int64_t>(d);
  } else if (problems) {
    problems->push_back(std::string("mpris:length has type ") + g_variant_get_type_string(value) + "; ignored");
  }
  g_variant_unref(value);
  return length;
}

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

// Trimmed, ASCII letters folded: "Radio Orv " and "radio orv" are one station.
std::u16string Key(const std::u16string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == u' ' || text[begin] == u'\t')) ++begin;
  while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t')) --end;
  std::u16string key = text.substr(begin, end - begin);
  for (char16_t& c : key) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return key;
}

bool IsSong(const std::u16string& title) { return title.find(u" - ") != std::u16string::npos; }

}  // namespace

PlayerKind KindOfPlayer(std::string_view busName) {
  if (busName.size() <= kMprisPrefix.size() || busName.substr(0, kMprisPrefix.size()) != kMprisPrefix) return {};
  for (const Quirk& quirk : kQuirks) {
    if (NameMatches(busName, quirk.name)) return quirk.kind;
  }
  return {.follow = true};
}

RawItem ReadMetadata(GVariant* metadata, std::vector<std::string>* problems) {
  RawItem raw;
  if (!metadata || !g_variant_is_of_type(metadata, G_VARIANT_TYPE_VARDICT)) return raw;
  raw.artist = TextOf(metadata, "xesam:artist", problems, &raw.any);
  raw.title = TextOf(metadata, "xesam:title", problems, &raw.any);
  raw.url = TextOf(metadata, "xesam:url", problems, &raw.any);
  raw.nowPlaying = TextOf(metadata, "vlc:nowplaying", problems, &raw.any);
  raw.length = LengthOf(metadata, problems);
  return raw;
}

bool IsStreamItem(const RawItem& raw) {
  // Browsers give no address but an endless length (Chromium: INT64_MAX).
  if (raw.length >= kEndless) return true;
  return raw.length <= 0 && (StartsWithIgnoringCase(raw.url, u"http://") || StartsWithIgnoringCase(raw.url, u"https://"));
}

void ItemShaper::Remember(const std::u16string& name) {
  std::u16string key = Key(name);
  if (!key.empty() && stations_.size() < 16) stations_.insert(std::move(key));
}

bool ItemShaper::IsStation(const std::u16string& name) const { return stations_.count(Key(name)) > 0; }

std::optional<MediaInfo> ItemShaper::Shape(const RawItem& raw, const std::optional<std::u16string>& streamName) {
  if (!raw.any) return std::nullopt;
  MediaInfo info{raw.artist, raw.title, raw.url};
  if (raw.url != url_) {
    url_ = raw.url;
    stations_.clear();
    songSeen_ = false;
    lastArtist_.clear();
    lastTitle_.clear();
  }
  // VLC keeps the station's name as the title and the stream's title apart.
  if (!raw.nowPlaying.empty()) {
    Remember(raw.title);
    info.title = raw.nowPlaying;
  }
  if (!webPages_ && !IsStreamItem(raw)) return info;

  if (streamName) Remember(*streamName);
  if (!IsSong(info.title)) {
    // Before the first song a player shows what it knows of the stream:
    // the station. (Not the artist: a player that splits titles itself sends
    // real artists beside titles without " - ".)
    if (!songSeen_) Remember(info.title);
  } else {
    // The same "artist" over different songs is the station.
    if (songSeen_ && !info.author.empty() && Key(info.author) == lastArtist_ && info.title != lastTitle_) {
      Remember(info.author);
    }
    songSeen_ = true;
    lastArtist_ = Key(info.author);
    lastTitle_ = info.title;
  }
  if (IsStation(info.author)) info.author.clear();
  return info;
}

}  // namespace platform::player
