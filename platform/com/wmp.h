#pragma once
// The media player's plug-in interfaces as the plug-in and its host use them.
// IWMPPluginUI and IWMPEvents keep the player's full slot order. IWMPCore and
// IWMPMedia carry only the calls the plug-in makes: on this platform both
// sides of the ABI are built from this header, so the player's other
// automation members would be dead weight.
#include <cstdint>

#include "platform/com/com.h"

namespace platform {

// A window handle is the toolkit's widget pointer (a GtkWidget*).
using HWND = void*;

struct POINT {
  int32_t x;
  int32_t y;
};

struct MSG {
  HWND hwnd;
  uint32_t message;
  uintptr_t wParam;
  intptr_t lParam;
  uint32_t time;
  POINT pt;
};

using VARIANT_BOOL = int16_t;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// Automation objects; their dispatch members are not part of this ABI.
struct IDispatch : IUnknown {
 protected:
  ~IDispatch() = default;
};

struct IWMPMedia : IDispatch {
  // The value of the named attribute ("Author", "Title", "SourceURL", ...).
  // The caller frees the string with SysFreeString.
  virtual HRESULT getItemInfo(BSTR name, BSTR* value) = 0;

 protected:
  ~IWMPMedia() = default;
};

// Play states in the player's numbering.
enum WMPPlayState : int32_t {
  wmppsUndefined = 0,
  wmppsStopped = 1,
  wmppsPaused = 2,
  wmppsPlaying = 3,
  wmppsScanForward = 4,
  wmppsScanReverse = 5,
  wmppsBuffering = 6,
  wmppsWaiting = 7,
  wmppsMediaEnded = 8,
  wmppsTransitioning = 9,
  wmppsReady = 10,
  wmppsReconnecting = 11,
};

struct IWMPCore : IDispatch {
  // S_OK with a null media when nothing is loaded.
  virtual HRESULT get_currentMedia(IWMPMedia** media) = 0;
  virtual HRESULT get_playState(int32_t* state) = 0;

 protected:
  ~IWMPCore() = default;
};

using WMPPlaylistChangeEventType = int32_t;

// The player's events. They return nothing; a sink that has no use for an
// event returns at once.
struct IWMPEvents : IUnknown {
  virtual void OpenStateChange(int32_t newState) = 0;
  virtual void PlayStateChange(int32_t newState) = 0;
  virtual void AudioLanguageChange(int32_t langId) = 0;
  virtual void StatusChange() = 0;
  virtual void ScriptCommand(BSTR scType, BSTR param) = 0;
  virtual void NewStream() = 0;
  virtual void Disconnect(int32_t result) = 0;
  virtual void Buffering(VARIANT_BOOL start) = 0;
  virtual void Error() = 0;
  virtual void Warning(int32_t warningType, int32_t param, BSTR description) = 0;
  virtual void EndOfStream(int32_t result) = 0;
  virtual void PositionChange(double oldPosition, double newPosition) = 0;
  virtual void MarkerHit(int32_t markerNum) = 0;
  virtual void DurationUnitChange(int32_t newDurationUnit) = 0;
  virtual void CdromMediaChange(int32_t cdromNum) = 0;
  virtual void PlaylistChange(IDispatch* playlist, WMPPlaylistChangeEventType change) = 0;
  virtual void CurrentPlaylistChange(WMPPlaylistChangeEventType change) = 0;
  virtual void CurrentPlaylistItemAvailable(BSTR itemName) = 0;
  virtual void MediaChange(IDispatch* item) = 0;
  virtual void CurrentMediaItemAvailable(BSTR itemName) = 0;
  virtual void CurrentItemChange(IDispatch* media) = 0;
  virtual void MediaCollectionChange() = 0;
  virtual void MediaCollectionAttributeStringAdded(BSTR attribName, BSTR attribVal) = 0;
  virtual void MediaCollectionAttributeStringRemoved(BSTR attribName, BSTR attribVal) = 0;
  virtual void MediaCollectionAttributeStringChanged(BSTR attribName, BSTR oldVal, BSTR newVal) = 0;
  virtual void PlaylistCollectionChange() = 0;
  virtual void PlaylistCollectionPlaylistAdded(BSTR playlistName) = 0;
  virtual void PlaylistCollectionPlaylistRemoved(BSTR playlistName) = 0;
  virtual void PlaylistCollectionPlaylistSetAsDeleted(BSTR playlistName, VARIANT_BOOL isDeleted) = 0;
  virtual void ModeChange(BSTR modeName, VARIANT_BOOL newValue) = 0;
  virtual void MediaError(IDispatch* mediaObject) = 0;
  virtual void OpenPlaylistSwitch(IDispatch* item) = 0;
  virtual void DomainChange(BSTR domain) = 0;
  virtual void SwitchedToPlayerApplication() = 0;
  virtual void SwitchedToControl() = 0;
  virtual void PlayerDockedStateChange() = 0;
  virtual void PlayerReconnect() = 0;
  virtual void Click(int16_t button, int16_t shiftState, int32_t x, int32_t y) = 0;
  virtual void DoubleClick(int16_t button, int16_t shiftState, int32_t x, int32_t y) = 0;
  virtual void KeyDown(int16_t keyCode, int16_t shiftState) = 0;
  virtual void KeyPress(int16_t keyAscii) = 0;
  virtual void KeyUp(int16_t keyCode, int16_t shiftState) = 0;
  virtual void MouseDown(int16_t button, int16_t shiftState, int32_t x, int32_t y) = 0;
  virtual void MouseMove(int16_t button, int16_t shiftState, int32_t x, int32_t y) = 0;
  virtual void MouseUp(int16_t button, int16_t shiftState, int32_t x, int32_t y) = 0;

 protected:
  ~IWMPEvents() = default;
};

// An event sink that ignores every event; sinks override the few they need.
struct WMPEventsIgnored : IWMPEvents {
  void OpenStateChange(int32_t) override {}
  void PlayStateChange(int32_t) override {}
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
  void CurrentItemChange(IDispatch*) override {}
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

 protected:
  ~WMPEventsIgnored() = default;
};

struct IWMPPluginUI : IUnknown {
  virtual HRESULT SetCore(IWMPCore* core) = 0;
  virtual HRESULT Create(HWND parent, HWND* window) = 0;
  virtual HRESULT Destroy() = 0;
  virtual HRESULT DisplayPropertyPage(HWND parent) = 0;
  virtual HRESULT GetProperty(const char16_t* name, VARIANT* value) = 0;
  virtual HRESULT SetProperty(const char16_t* name, const VARIANT* value) = 0;
  virtual HRESULT TranslateAccelerator(MSG* msg) = 0;

 protected:
  ~IWMPPluginUI() = default;
};

struct IConnectionPointContainer;
// Enumerators are not offered by this ABI's objects (E_NOTIMPL).
struct IEnumConnections;
struct IEnumConnectionPoints;

struct IConnectionPoint : IUnknown {
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
  // The cookie is never 0 on success.
  virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
  virtual HRESULT Unadvise(uint32_t cookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** connections) = 0;

 protected:
  ~IConnectionPoint() = default;
};

struct IConnectionPointContainer : IUnknown {
  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) = 0;
  virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};

inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IWMPEvents = {0x19A6627B, 0xDA9E, 0x47C1, {0xBB, 0x23, 0x00, 0xB5, 0xE6, 0x68, 0x23, 0x6A}};
inline constexpr IID IID_IWMPPluginUI = {0x4C5E8F9F, 0xAD3E, 0x4BF9, {0x97, 0x53, 0xFC, 0xD3, 0x0D, 0x6D, 0x38, 0xDD}};
inline constexpr IID IID_IWMPCore = {0xD84CCA99, 0xCCE2, 0x11D2, {0x9E, 0xCC, 0x00, 0x00, 0xF8, 0x08, 0x59, 0x81}};
inline constexpr IID IID_IWMPMedia = {0x94D55E95, 0x3FAC, 0x11D3, {0xB1, 0x55, 0x00, 0xC0, 0x4F, 0x79, 0xFA, 0xA6}};
inline constexpr IID IID_IConnectionPointContainer = {
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IConnectionPoint = {0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

// Where players look for user-interface plug-ins, and the notice that tells
// running players to look again.
inline constexpr const char* kUIPluginsKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\MediaPlayer\\UIPlugins";
inline constexpr const char* kPluginAddRemoveMessage = "WMPlayer_PluginAddRemove";

}  // namespace platform
