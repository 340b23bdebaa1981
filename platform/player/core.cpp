#include "platform/player/core.h"

#include <new>

#include "platform/text/utf.h"

namespace platform::player {
namespace {

// A null name matches nothing.
bool SameName(const char16_t* a, std::u16string_view b) { return a && EqualsIgnoringAsciiCase(a, b); }

class Media final : public IWMPMedia {
 public:
  explicit Media(MediaInfo info) : info_(std::move(info)) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IWMPMedia) {
      *object = static_cast<IWMPMedia*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    const uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // Attributes the player knows answer with their text, empty when the item
  // has none; names it does not know are an error.
  HRESULT getItemInfo(BSTR name, BSTR* value) override {
    if (!value) return E_POINTER;
    *value = nullptr;
    const std::u16string* text = nullptr;
    if (SameName(name, u"Author")) {
      text = &info_.author;
    } else if (SameName(name, u"Title")) {
      text = &info_.title;
    } else if (SameName(name, u"SourceURL")) {
      text = &info_.sourceUrl;
    } else {
      return E_INVALIDARG;
    }
    *value = SysAllocString(*text);
    return *value ? S_OK : E_OUTOFMEMORY;
  }

 private:
  ~Media() = default;
  uint32_t refs_ = 0;
  MediaInfo info_;
};

}  // namespace

ComPtr<IWMPMedia> MakeMedia(const MediaInfo& info) { return ComPtr<IWMPMedia>(new Media(info)); }

ComPtr<PlayerCore> PlayerCore::Create() { return ComPtr<PlayerCore>(new PlayerCore()); }

template <typename Fire>
void PlayerCore::ForEachSink(Fire fire) {
  // A copy: a sink may unadvise (or release the last plug-in) while called.
  auto sinks = sinks_;
  for (auto& [cookie, sink] : sinks) fire(sink.get());
}

void PlayerCore::Update(const PlayerSnapshot& next) {
  const bool itemChanged = next.media != snapshot_.media;
  const bool stateChanged = next.playState != snapshot_.playState;
  snapshot_ = next;
  ComPtr<PlayerCore> keep(this);  // a sink may drop the last outside reference
  if (itemChanged) {
    ComPtr<IWMPMedia> media = snapshot_.media ? MakeMedia(*snapshot_.media) : nullptr;
    ForEachSink([&](IWMPEvents* sink) { sink->CurrentItemChange(media.get()); });
  }
  if (stateChanged) {
    const int32_t state = snapshot_.playState;
    ForEachSink([&](IWMPEvents* sink) { sink->PlayStateChange(state); });
  }
}

HRESULT PlayerCore::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IWMPCore) {
    *object = static_cast<IWMPCore*>(this);
  } else if (iid == IID_IConnectionPointContainer) {
    *object = static_cast<IConnectionPointContainer*>(this);
  } else if (iid == IID_IConnectionPoint) {
    *object = static_cast<IConnectionPoint*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

uint32_t PlayerCore::AddRef() { return ++refs_; }

uint32_t PlayerCore::Release() {
  const uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT PlayerCore::get_currentMedia(IWMPMedia** media) {
  if (!media) return E_POINTER;
  *media = snapshot_.media ? MakeMedia(*snapshot_.media).detach() : nullptr;
  return S_OK;
}

HRESULT PlayerCore::get_playState(int32_t* state) {
  if (!state) return E_POINTER;
  *state = snapshot_.playState;
  return S_OK;
}

HRESULT PlayerCore::EnumConnectionPoints(IEnumConnectionPoints**) { return E_NOTIMPL; }

HRESULT PlayerCore::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  if (!(iid == IID_IWMPEvents)) return CONNECT_E_NOCONNECTION;
  *point = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

HRESULT PlayerCore::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = IID_IWMPEvents;
  return S_OK;
}

HRESULT PlayerCore::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = static_cast<IConnectionPointContainer*>(this);
  AddRef();
  return S_OK;
}

HRESULT PlayerCore::Advise(IUnknown* sink, uint32_t* cookie) {
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  ComPtr<IWMPEvents> events;
  if (FAILED(sink->QueryInterface(IID_IWMPEvents, events.put_void())) || !events) {
    return CONNECT_E_CANNOTCONNECT;
  }
  if (nextCookie_ == 0) nextCookie_ = 1;
  *cookie = nextCookie_++;
  sinks_.emplace_back(*cookie, std::move(events));
  return S_OK;
}

HRESULT PlayerCore::Unadvise(uint32_t cookie) {
  for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
    if (it->first == cookie) {
      auto sink = std::move(it->second);  // released after the list is consistent
      sinks_.erase(it);
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

HRESULT PlayerCore::EnumConnections(IEnumConnections**) { return E_NOTIMPL; }

}  // namespace platform::player
