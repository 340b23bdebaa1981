#include "plugin/orvweb_plugin.h"

#include <new>

#include "platform/text/utf.h"
#include "plugin/plugin_window.h"

namespace orvweb {

using namespace platform;

std::atomic<long> gModuleObjects{0};

namespace {

// A fresh string per read: a failing read must never hand on the value of
// the attribute read before it.
std::u16string ReadAttribute(IWMPMedia* media, std::u16string_view name) {
  Bstr key(name);
  BSTR value = nullptr;
  if (FAILED(media->getItemInfo(key.get(), &value))) return {};  // a failed call owns no result
  std::u16string text = value ? std::u16string(value, SysStringLen(value)) : std::u16string();
  SysFreeString(value);
  return text;
}

}  // namespace

COrvWebPlugin::COrvWebPlugin(IUnknown* outer) : controlling_(outer ? outer : &inner_) {
  inner_.self = this;
  ++gModuleObjects;
}

COrvWebPlugin::~COrvWebPlugin() {
  // The last word first (state 8, texts kept, one notice), while the section
  // is still there to be read; only then the player and the section go. A
  // failed creation has no channel and says nothing.
  if (channel_) channel_->WriteClosing();
  DropConnection();
  window_.reset();
  channel_.reset();
  --gModuleObjects;
}

HRESULT COrvWebPlugin::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer && !(iid == IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  auto* plugin = new (std::nothrow) COrvWebPlugin(outer);
  if (!plugin) return E_OUTOFMEMORY;
  plugin->channel_ = NowPlayingWriter::Open();
  if (!plugin->channel_) {
    delete plugin;  // writes nothing, posts nothing
    return E_FAIL;
  }
  // One reference for the creation, so a failed QueryInterface destroys it.
  plugin->inner_.AddRef();
  const HRESULT hr = plugin->inner_.QueryInterface(iid, object);
  plugin->inner_.Release();
  return hr;
}

// ---- IUnknown ----------------------------------------------------------------

HRESULT COrvWebPlugin::Inner::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown) {
    *object = static_cast<IUnknown*>(this);
  } else if (iid == IID_IWMPPluginUI) {
    *object = static_cast<IWMPPluginUI*>(self);
  } else if (iid == IID_IWMPEvents) {
    *object = static_cast<IWMPEvents*>(self);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  static_cast<IUnknown*>(*object)->AddRef();
  return S_OK;
}

uint32_t COrvWebPlugin::Inner::AddRef() { return ++self->refs_; }

uint32_t COrvWebPlugin::Inner::Release() {
  const uint32_t left = --self->refs_;
  if (left == 0) delete self;
  return left;
}

HRESULT COrvWebPlugin::QueryInterface(REFIID iid, void** object) { return controlling_->QueryInterface(iid, object); }
uint32_t COrvWebPlugin::AddRef() { return controlling_->AddRef(); }
uint32_t COrvWebPlugin::Release() { return controlling_->Release(); }

// ---- IWMPPluginUI --------------------------------------------------------------

void COrvWebPlugin::DropConnection() {
  if (connectionPoint_) {
    if (adviseCookie_ != 0) connectionPoint_->Unadvise(adviseCookie_);
    adviseCookie_ = 0;
    connectionPoint_.reset();
  }
  core_.reset();
}

HRESULT COrvWebPlugin::SetCore(IWMPCore* core) {
  DropConnection();
  if (!core) return S_OK;
  core_ = ComPtr<IWMPCore>(core);

  // The reader learns the current item before any event arrives.
  CurrentItemChange(nullptr);

  ComPtr<IConnectionPointContainer> container;
  HRESULT hr = core_.As(IID_IConnectionPointContainer, container);
  if (FAILED(hr)) return hr;
  hr = container->FindConnectionPoint(IID_IWMPEvents, connectionPoint_.put());
  if (FAILED(hr)) {
    connectionPoint_.reset();
    return hr;
  }
  hr = connectionPoint_->Advise(static_cast<IWMPEvents*>(this), &adviseCookie_);
  if (FAILED(hr) || adviseCookie_ == 0) {
    adviseCookie_ = 0;
    connectionPoint_.reset();
  }
  return hr;
}

HRESULT COrvWebPlugin::Create(HWND parent, HWND* window) {
  if (!window) return E_UNEXPECTED;
  // A second Create replaces the first window instead of losing it.
  window_.reset();
  window_.reset(new (std::nothrow) COrvWebPluginWindow(this));
  if (!window_) return E_OUTOFMEMORY;
  if (!window_->Create(parent)) {
    window_.reset();
    return E_FAIL;
  }
  window_->Hide();
  *window = window_->handle();
  return S_OK;
}

HRESULT COrvWebPlugin::Destroy() {
  if (!window_) return E_UNEXPECTED;
  window_.reset();
  return S_OK;
}

HRESULT COrvWebPlugin::DisplayPropertyPage(HWND) { return E_NOTIMPL; }

HRESULT COrvWebPlugin::GetProperty(const char16_t* name, VARIANT* value) {
  if (!value) return E_POINTER;
  if (name && (EqualsIgnoringAsciiCase(name, u"DefaultWidth") || EqualsIgnoringAsciiCase(name, u"DefaultHeight"))) {
    value->vt = VT_I4;
    value->lVal = 100;
    return S_OK;
  }
  return E_NOTIMPL;
}

HRESULT COrvWebPlugin::SetProperty(const char16_t*, const VARIANT*) { return E_NOTIMPL; }

HRESULT COrvWebPlugin::TranslateAccelerator(MSG* msg) {
  if (!window_) return E_UNEXPECTED;
  if (!msg) return E_POINTER;
  return S_OK;
}

// ---- IWMPEvents ------------------------------------------------------------------

void COrvWebPlugin::PlayStateChange(int32_t newState) {
  if (channel_) channel_->WriteState(newState);
}

void COrvWebPlugin::CurrentItemChange(IDispatch*) {
  if (!channel_ || !core_) return;
  ComPtr<IWMPMedia> media;
  if (FAILED(core_->get_currentMedia(media.put())) || !media) return;

  NowPlayingItem item;
  item.author = ReadAttribute(media.get(), u"Author");
  item.title = ReadAttribute(media.get(), u"Title");
  item.npv = ReadAttribute(media.get(), u"NPV");
  item.sourceUrl = ReadAttribute(media.get(), u"SourceURL");

  int32_t state = kPlayStatePlaying;
  int32_t reported = 0;
  if (SUCCEEDED(core_->get_playState(&reported))) state = reported;
  channel_->WriteFull(state, item);
}

}  // namespace orvweb
