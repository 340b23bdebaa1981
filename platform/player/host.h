#pragma once
// The plug-in side of the player host: the user-interface plug-ins registered
// in the registry, each loaded from its library and connected to one core.
#include <memory>
#include <string>
#include <vector>

#include "platform/com/wmp.h"

namespace platform::player {

struct Registration {
  CLSID clsid{};
  std::string clsidText;  // as the key names it
  std::string module;     // the library's path (InprocServer32)
};

// Every UIPlugins key whose CLSID names a library, in key order.
std::vector<Registration> ReadRegistrations();

// A library's string-table entry point: copies text id into buffer (units
// with its NUL) and returns its length, 0 when there is none.
using DllLoadStringFn = int (*)(uint32_t id, char16_t* buffer, int units);

// A registered name as a player shows it: "res://<library>/RT_STRING/#<id>"
// is that entry of the plug-in's string table; any other value, or an entry
// the table lacks, is shown as it stands.
std::u16string ResolveRegisteredText(const std::u16string& value, DllLoadStringFn loadString);

class PluginHost {
 public:
  explicit PluginHost(IWMPCore* core);
  ~PluginHost();  // Clear()
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // Brings the loaded set in line with the registry: plug-ins no longer
  // registered are let go, new ones (and ones that failed before) are loaded.
  void Refresh();
  // SetCore(null) and the last Release for each; libraries that agree to it
  // are unloaded.
  void Clear();
  size_t size() const { return loaded_.size(); }

 private:
  struct Loaded;
  ComPtr<IWMPCore> core_;
  std::vector<std::unique_ptr<Loaded>> loaded_;
};

// Loads the library at path and runs its DllRegisterServer (or, with
// unregister, DllUnregisterServer). E_FAIL when it cannot be loaded.
HRESULT RegisterLibrary(const std::string& path, bool unregister);

}  // namespace platform::player
