#pragma once
// A player core as plug-ins see it (IWMPCore with its event connection
// point), fed by whoever watches the real player. It answers the plug-in's
// calls from the last snapshot and turns changes into events. One thread:
// the host's, which creates it and calls every method.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/wmp.h"

namespace platform::player {

// The attributes a plug-in reads from the current item.
struct MediaInfo {
  std::u16string author;     // "Author"
  std::u16string title;      // "Title"
  std::u16string sourceUrl;  // "SourceURL"
  bool operator==(const MediaInfo&) const = default;
};

struct PlayerSnapshot {
  std::optional<MediaInfo> media;  // none: nothing is loaded
  int32_t playState = wmppsStopped;
  bool operator==(const PlayerSnapshot&) const = default;
};

// The media object handed to plug-ins: a fixed copy of one item.
ComPtr<IWMPMedia> MakeMedia(const MediaInfo& info);

class PlayerCore final : public IWMPCore, public IConnectionPointContainer, public IConnectionPoint {
 public:
  static ComPtr<PlayerCore> Create();

  // Takes the player's new state. The item counts as changed only when its
  // texts differ (players re-send the same metadata freely); then
  // CurrentItemChange fires, with the new state already in place. A changed
  // state fires PlayStateChange after that.
  void Update(const PlayerSnapshot& next);
  const PlayerSnapshot& snapshot() const { return snapshot_; }
  size_t sinkCount() const { return sinks_.size(); }

  // IUnknown
  HRESULT QueryInterface(REFIID iid, void** object) override;
  uint32_t AddRef() override;
  uint32_t Release() override;
  // IWMPCore
  HRESULT get_currentMedia(IWMPMedia** media) override;
  HRESULT get_playState(int32_t* state) override;
  // IConnectionPointContainer
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) override;
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;
  // IConnectionPoint
  HRESULT GetConnectionInterface(IID* iid) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT Advise(IUnknown* sink, uint32_t* cookie) override;
  HRESULT Unadvise(uint32_t cookie) override;
  HRESULT EnumConnections(IEnumConnections** connections) override;

 private:
  PlayerCore() = default;
  ~PlayerCore() = default;
  template <typename Fire>
  void ForEachSink(Fire fire);

  uint32_t refs_ = 0;
  PlayerSnapshot snapshot_;
  std::vector<std::pair<uint32_t, ComPtr<IWMPEvents>>> sinks_;
  uint32_t nextCookie_ = 1;
};

}  // namespace platform::player
