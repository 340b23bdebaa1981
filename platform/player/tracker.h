#pragma once
// Which of several players a plug-in follows, and what that player is doing.
// Pure logic: the bus watcher feeds it what players announce.
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/player/core.h"

namespace platform::player {

// What one announcement carried; a field a player did not send is nullopt.
struct PlayerUpdate {
  std::optional<std::optional<MediaInfo>> media;  // sent: an item, or "no item"
  std::optional<int32_t> playState;
};

// The playing player is followed; of several playing, the one that became
// active last. With none playing, the followed one stays followed (a paused
// player keeps its item); when it goes, the most recently active remaining
// player takes over.
class PlayerTracker {
 public:
  void Appeared(const std::string& player);
  void Changed(const std::string& player, const PlayerUpdate& update);
  void Vanished(const std::string& player);

  PlayerSnapshot Current() const;
  const std::string& followed() const { return followed_; }

 private:
  struct Player {
    std::optional<MediaInfo> media;
    int32_t playState = wmppsStopped;
    uint64_t lastActive = 0;
  };
  void Choose();

  std::map<std::string, Player> players_;
  std::string followed_;
  uint64_t clock_ = 0;  // orders activity; no wall-clock time involved
};

// MPRIS PlaybackStatus to the player's numbering; nullopt for anything else.
std::optional<int32_t> PlayStateFromStatus(std::string_view status);

// mpv's properties as the mpv core reads them.
struct MpvProperties {
  std::optional<std::string> path;
  std::optional<std::string> mediaTitle;
  std::optional<std::string> icyTitle;
  std::optional<std::string> artist;
  bool pause = false;
  bool idle = true;
  // Where a relative path is taken from ("mpv *.mp3" in a folder).
  std::optional<std::string> workingDirectory = std::nullopt;
};

// An idle mpv has no item and is stopped; otherwise the item is the path
// (a relative one made absolute against the working directory),
// the stream's ICY title (else the media title) and the artist tag.
PlayerSnapshot SnapshotFromMpv(const MpvProperties& props);

}  // namespace platform::player
