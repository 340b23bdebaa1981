#pragma once
// The plug-in object: the player hands it its core; it publishes the current
// item and the play state into the now-playing record on every change.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/com/wmp.h"
#include "shared/now_playing.h"

namespace orvweb {

class COrvWebPluginWindow;

inline constexpr platform::CLSID CLSID_OrvWeb = {
    0x1C5964EA, 0xB4FA, 0x44A3, {0x81, 0xD7, 0x3A, 0xD0, 0x28, 0x1B, 0x5B, 0xFA}};

// Objects alive in this module; the library may unload only at 0.
extern std::atomic<long> gModuleObjects;

class COrvWebPlugin final : public platform::IWMPPluginUI, public platform::WMPEventsIgnored {
 public:
  // The object with the channel open and one reference on `iid` in *object;
  // E_FAIL while another object holds the channel.
  static platform::HRESULT CreateInstance(platform::IUnknown* outer, platform::REFIID iid, void** object);

  // IUnknown (delegates to the controlling unknown when aggregated)
  platform::HRESULT QueryInterface(platform::REFIID iid, void** object) override;
  uint32_t AddRef() override;
  uint32_t Release() override;

  // IWMPPluginUI
  platform::HRESULT SetCore(platform::IWMPCore* core) override;
  platform::HRESULT Create(platform::HWND parent, platform::HWND* window) override;
  platform::HRESULT Destroy() override;
  platform::HRESULT DisplayPropertyPage(platform::HWND parent) override;
  platform::HRESULT GetProperty(const char16_t* name, platform::VARIANT* value) override;
  platform::HRESULT SetProperty(const char16_t* name, const platform::VARIANT* value) override;
  platform::HRESULT TranslateAccelerator(platform::MSG* msg) override;

  // IWMPEvents: only the play state and the current item matter.
  void PlayStateChange(int32_t newState) override;
  void CurrentItemChange(platform::IDispatch* media) override;

 private:
  // The object's own IUnknown: its identity, and the one that owns its life
  // when another object aggregates it.
  struct Inner final : platform::IUnknown {
    COrvWebPlugin* self;
    platform::HRESULT QueryInterface(platform::REFIID iid, void** object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
  };

  explicit COrvWebPlugin(platform::IUnknown* outer);
  ~COrvWebPlugin();
  COrvWebPlugin(const COrvWebPlugin&) = delete;
  COrvWebPlugin& operator=(const COrvWebPlugin&) = delete;

  void DropConnection();

  std::atomic<uint32_t> refs_{0};
  std::unique_ptr<NowPlayingWriter> channel_;  // section and view, for the object's life
  platform::ComPtr<platform::IWMPCore> core_;
  std::unique_ptr<COrvWebPluginWindow> window_;
  platform::ComPtr<platform::IConnectionPoint> connectionPoint_;
  uint32_t adviseCookie_ = 0;

  Inner inner_;
  platform::IUnknown* controlling_;
};

}  // namespace orvweb
