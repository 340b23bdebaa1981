#pragma once
// An event sink that records the two events a now-playing plug-in uses.
#include <string>
#include <vector>

#include "platform/com/wmp.h"

namespace platform::player {

class RecordingSink final : public WMPEventsIgnored {
 public:
  std::vector<std::string> events;
  IWMPCore* core = nullptr;  // when set, CurrentItemChange reads the item as a plug-in would

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IWMPEvents) {
      *object = static_cast<IWMPEvents*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs; }
  uint32_t Release() override { return --refs; }  // lives on the test's stack
  uint32_t refs = 1;

  void PlayStateChange(int32_t state) override { events.push_back("state " + std::to_string(state)); }
  void CurrentItemChange(IDispatch* media) override {
    std::string e = media ? "item" : "item none";
    if (core) {
      ComPtr<IWMPMedia> current;
      core->get_currentMedia(current.put());
      int32_t state = 0;
      core->get_playState(&state);
      e += current ? " " + Title(current.get()) : " -";
      e += " @" + std::to_string(state);
    }
    events.push_back(e);
  }
  static std::string Title(IWMPMedia* media) {
    Bstr name(u"Title");
    BSTR value = nullptr;
    if (FAILED(media->getItemInfo(name.get(), &value))) return "?";
    std::string out;
    for (uint32_t i = 0; i < SysStringLen(value); ++i) out.push_back(static_cast<char>(value[i]));
    SysFreeString(value);
    return out;
  }

};

}  // namespace platform::player
