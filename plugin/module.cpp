// The library's exports: class factory, unload check, and the registration
// that tells players where the plug-in lives.
#include <atomic>
#include <string>

#include "platform/com/wmp.h"
#include "platform/ipc/ipc.h"
#include "platform/registry/registry.h"
#include "platform/shell/module_path.h"
#include "platform/text/utf.h"
#include "plugin/orvweb_plugin.h"

using namespace platform;

namespace orvweb {
namespace {

std::atomic<long> gModuleLocks{0};

// One factory per process; references to it keep the library loaded.
class ClassFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return static_cast<uint32_t>(++gModuleLocks) + 1; }
  uint32_t Release() override { return static_cast<uint32_t>(--gModuleLocks) + 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    return COrvWebPlugin::CreateInstance(outer, iid, object);
  }
  HRESULT LockServer(int32_t lock) override {
    if (lock) {
      ++gModuleLocks;
    } else {
      --gModuleLocks;
    }
    return S_OK;
  }
};

ClassFactory gFactory;

constexpr const char* kClassesRoot = "HKEY_CLASSES_ROOT\\CLSID";
constexpr const char* kPluginParents[] = {
    "HKEY_LOCAL_MACHINE\\SOFTWARE",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\MediaPlayer",
    kUIPluginsKey,
};
constexpr uint32_t kCapabilities = 0x40000002;  // separate window, install autorun

std::string ClassKey() { return std::string(kClassesRoot) + "\\" + GuidToString(CLSID_OrvWeb); }
std::string PluginKey() { return std::string(kUIPluginsKey) + "\\" + GuidToString(CLSID_OrvWeb); }

// The absolute path this library was loaded from.
std::u16string ModulePath() { return FromUtf8(shell::ModuleFile(&gFactory).string()); }

HRESULT ApplyRegistration(bool install) {
  registry::Store store;
  bool ok = true;
  if (install) {  // the parents stay, also on removal
    ok = store.CreateKey(kClassesRoot);
    for (const char* key : kPluginParents) ok = store.CreateKey(key) && ok;
  }
  // Both keys are replaced whole, so a second registration leaves one set.
  ok = store.DeleteKey(ClassKey()) && ok;
  ok = store.DeleteKey(PluginKey()) && ok;
  if (install) {
    const std::string server = ClassKey() + "\\InprocServer32";
    ok = store.SetString(ClassKey(), "", u"OrvWeb Class") && ok;
    ok = store.SetString(server, "", ModulePath()) && ok;
    ok = store.SetString(server, "ThreadingModel", u"Apartment") && ok;
    ok = store.SetString(PluginKey(), "FriendlyName", u"res://OrvWeb.dll/RT_STRING/#102") && ok;
    ok = store.SetString(PluginKey(), "Description", u"res://OrvWeb.dll/RT_STRING/#103") && ok;
    ok = store.SetDword(PluginKey(), "Capabilities", kCapabilities) && ok;
  }
  // Running players refresh their plug-in lists whatever the outcome.
  ipc::Broadcast(kPluginAddRemoveMessage);
  return ok ? S_OK : E_FAIL;
}

}  // namespace
}  // namespace orvweb

extern "C" {

__attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return orvweb::gModuleObjects == 0 && orvweb::gModuleLocks == 0 ? S_OK : S_FALSE;
}

__attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!(clsid == orvweb::CLSID_OrvWeb)) return CLASS_E_CLASSNOTAVAILABLE;
  return orvweb::gFactory.QueryInterface(iid, object);
}

__attribute__((visibility("default"))) HRESULT DllRegisterServer() { return orvweb::ApplyRegistration(true); }

__attribute__((visibility("default"))) HRESULT DllUnregisterServer() { return orvweb::ApplyRegistration(false); }

}  // extern "C"
