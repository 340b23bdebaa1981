#include "platform/player/tracker.h"

#include <filesystem>

#include "platform/text/utf.h"

namespace platform::player {

void PlayerTracker::Appeared(const std::string& player) {
  players_.try_emplace(player);
  Choose();
}

void PlayerTracker::Changed(const std::string& player, const PlayerUpdate& update) {
  Player& p = players_[player];
  const bool wasPlaying = p.playState == wmppsPlaying;
  bool mediaChanged = false;
  if (update.media && *update.media != p.media) {
    p.media = *update.media;
    mediaChanged = true;
  }
  if (update.playState) p.playState = *update.playState;
  // Activity: starting to play, or a new item while playing. A repeated
  // "Playing" or re-sent metadata is no news.
  const bool playing = p.playState == wmppsPlaying;
  if (playing && (!wasPlaying || mediaChanged)) p.lastActive = ++clock_;
  Choose();
}

void PlayerTracker::Vanished(const std::string& player) {
  players_.erase(player);
  Choose();
}

void PlayerTracker::Choose() {
  const Player* best = nullptr;
  std::string bestName;
  for (const auto& [name, p] : players_) {
    if (p.playState == wmppsPlaying && (!best || p.lastActive > best->lastActive)) {
      best = &p;
      bestName = name;
    }
  }
  if (best) {
    followed_ = bestName;
    return;
  }
  if (players_.count(followed_)) return;
  followed_.clear();
  for (const auto& [name, p] : players_) {
    if (!best || p.lastActive > best->lastActive) {
      best = &p;
      followed_ = name;
    }
  }
}

PlayerSnapshot PlayerTracker::Current() const {
  auto it = players_.find(followed_);
  if (it == players_.end()) return {};
  return {it->second.media, it->second.playState};
}

std::optional<int32_t> PlayStateFromStatus(std::string_view status) {
  if (status == "Playing") return wmppsPlaying;
  if (status == "Paused") return wmppsPaused;
  if (status == "Stopped") return wmppsStopped;
  return std::nullopt;
}

PlayerSnapshot SnapshotFromMpv(const MpvProperties& props) {
  PlayerSnapshot snap;
  if (props.idle || !props.path || props.path->empty()) return snap;
  MediaInfo info;
  std::string path = *props.path;
  // A local name relative to mpv's folder means nothing to another process.
  const bool absolute = path.front() == '/' || path.find("://") != std::string::npos;
  if (!absolute && path != "-" && props.workingDirectory && !props.workingDirectory->empty()) {
    path = (std::filesystem::path(*props.workingDirectory) / path).lexically_normal().string();
  }
  info.sourceUrl = FromUtf8(path);
  if (props.icyTitle && !props.icyTitle->empty()) {
    info.title = FromUtf8(*props.icyTitle);
  } else if (props.mediaTitle) {
    info.title = FromUtf8(*props.mediaTitle);
  }
  if (props.artist) info.author = FromUtf8(*props.artist);
  snap.media = std::move(info);
  snap.playState = props.pause ? wmppsPaused : wmppsPlaying;
  return snap;
}

}  // namespace platform::player
