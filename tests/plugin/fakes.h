#pragma once
// A fake player core and media for the plug-in's tests: each call can be
// made to fail, and every call of interest is logged in order.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/wmp.h"

namespace plugin_test {

using namespace platform;

using CallLog = std::shared_ptr<std::vector<std::string>>;

class FakeMedia final : public IWMPMedia {
 public:
  // nullopt: the read of that attribute fails.
  explicit FakeMedia(std::map<std::u16string, std::optional<std::u16string>> attributes)
      : attributes_(std::move(attributes)) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
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
  HRESULT getItemInfo(BSTR name, BSTR* value) override {
    auto it = attributes_.find(std::u16string(name, SysStringLen(name)));
    if (it == attributes_.end() || !it->second) return E_INVALIDARG;  // *value untouched
    *value = SysAllocString(*it->second);
    return S_OK;
  }

 private:
  ~FakeMedia() = default;
  uint32_t refs_ = 0;
  std::map<std::u16string, std::optional<std::u16string>> attributes_;
};

class FakeCore final : public IWMPCore, public IConnectionPointContainer, public IConnectionPoint {
 public:
  FakeCore(std::string name, CallLog log) : name_(std::move(name)), log_(std::move(log)) {}

  // What the core answers.
  ComPtr<IWMPMedia> media;
  HRESULT mediaResult = S_OK;
  std::optional<int32_t> playState = wmppsPlaying;  // nullopt: the call fails
  HRESULT containerResult = S_OK;
  HRESULT findResult = S_OK;
  HRESULT adviseResult = S_OK;
  uint32_t adviseCookie = 7;
  bool holdSink = true;  // false: a player that keeps no reference on the sink
  std::function<void()> onUnadvise;  // runs as the plug-in disconnects

  // What the plug-in did.
  ComPtr<IWMPEvents> sink;
  IWMPEvents* weakSink = nullptr;
  uint32_t refs() const { return refs_; }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IWMPCore) {
      *object = static_cast<IWMPCore*>(this);
    } else if (iid == IID_IConnectionPointContainer) {
      if (FAILED(containerResult)) return containerResult;
      *object = static_cast<IConnectionPointContainer*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    const uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT get_currentMedia(IWMPMedia** out) override {
    Log("get_currentMedia");
    *out = nullptr;
    if (FAILED(mediaResult)) return mediaResult;
    if (media) {
      media->AddRef();
      *out = media.get();
    }
    return S_OK;
  }
  HRESULT get_playState(int32_t* state) override {
    if (!playState) return E_FAIL;
    *state = *playState;
    return S_OK;
  }
  HRESULT EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    *point = nullptr;
    if (!(iid == IID_IWMPEvents)) return CONNECT_E_NOCONNECTION;
    if (FAILED(findResult)) return findResult;
    *point = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT GetConnectionInterface(IID* iid) override {
    *iid = IID_IWMPEvents;
    return S_OK;
  }
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** c) override {
    *c = this;
    AddRef();
    return S_OK;
  }
  HRESULT Advise(IUnknown* s, uint32_t* cookie) override {
    Log("Advise");
    *cookie = 0;
    if (FAILED(adviseResult)) return adviseResult;
    if (FAILED(s->QueryInterface(IID_IWMPEvents, sink.put_void()))) return CONNECT_E_CANNOTCONNECT;
    if (!holdSink) {
      weakSink = sink.get();
      sink.reset();
    }
    *cookie = adviseCookie;
    return S_OK;
  }
  HRESULT Unadvise(uint32_t cookie) override {
    Log("Unadvise " + std::to_string(cookie));
    if (onUnadvise) onUnadvise();
    sink.reset();
    weakSink = nullptr;
    return S_OK;
  }
  HRESULT EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  ~FakeCore() = default;
  void Log(const std::string& what) {
    if (log_) log_->push_back(name_ + "." + what);
  }
  uint32_t refs_ = 0;
  std::string name_;
  CallLog log_;
};

inline ComPtr<IWMPMedia> Media(std::map<std::u16string, std::optional<std::u16string>> attributes) {
  return ComPtr<IWMPMedia>(new FakeMedia(std::move(attributes)));
}

inline ComPtr<IWMPMedia> Song(std::u16string author, std::u16string title, std::u16string url = u"http://radio/1") {
  return Media({{u"Author", author}, {u"Title", title}, {u"NPV", u""}, {u"SourceURL", url}});
}

}  // namespace plugin_test
