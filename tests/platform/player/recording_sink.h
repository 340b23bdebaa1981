#pragma once
// An event sink that records the two events a now-playing plug-in uses.
#include <string>
#include <vector>

#include "platform/com/wmp.h"

namespace platform::player {

class RecordingSink final : public IWMPEvents {
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

  void OpenStateChange(int32_t) override {}
  void AudioLanguageChange(int32_t) override {}
  void StatusChange() override {}
  void ScriptCommand(BSTR, BSTR) override {}
  void NewStream() override {}
  void Disconnect(int32_t) override {}
  void Buffering(VARIANT_BOOL) override {}
  void Error() override {}
  void Warning(int32_t, int32_t, BSTR) override {}
  void EndOfStream(int32_t) override {}
  void PositionChange(double, double) override {}
  void MarkerHit(int32_t) override {}
  void DurationUnitChange(int32_t) override {}
  void CdromMediaChange(int32_t) override {}
  void PlaylistChange(IDispatch*, WMPPlaylistChangeEventType) override {}
  void CurrentPlaylistChange(WMPPlaylistChangeEventType) override {}
  void CurrentPlaylistItemAvailable(BSTR) override {}
  void MediaChange(IDispatch*) override {}
  void CurrentMediaItemAvailable(BSTR) override {}
  void MediaCollectionChange() override {}
  void MediaCollectionAttributeStringAdded(BSTR, BSTR) override {}
  void MediaCollectionAttributeStringRemoved(BSTR, BSTR) override {}
  void MediaCollectionAttributeStringChanged(BSTR, BSTR, BSTR) override {}
  void PlaylistCollectionChange() override {}
  void PlaylistCollectionPlaylistAdded(BSTR) override {}
  void PlaylistCollectionPlaylistRemoved(BSTR) override {}
  void PlaylistCollectionPlaylistSetAsDeleted(BSTR, VARIANT_BOOL) override {}
  void ModeChange(BSTR, VARIANT_BOOL) override {}
  void MediaError(IDispatch*) override {}
  void OpenPlaylistSwitch(IDispatch*) override {}
  void DomainChange(BSTR) override {}
  void SwitchedToPlayerApplication() override {}
  void SwitchedToControl() override {}
  void PlayerDockedStateChange() override {}
  void PlayerReconnect() override {}
  void Click(int16_t, int16_t, int32_t, int32_t) override {}
  void DoubleClick(int16_t, int16_t, int32_t, int32_t) override {}
  void KeyDown(int16_t, int16_t) override {}
  void KeyPress(int16_t) override {}
  void KeyUp(int16_t, int16_t) override {}
  void MouseDown(int16_t, int16_t, int32_t, int32_t) override {}
  void MouseMove(int16_t, int16_t, int32_t, int32_t) override {}
  void MouseUp(int16_t, int16_t, int32_t, int32_t) override {}
};

}  // namespace platform::player
