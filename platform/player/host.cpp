#include "platform/player/host.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>

#include "platform/registry/registry.h"
#include "platform/text/utf.h"

namespace platform::player {
namespace {

constexpr const char* kClassesRoot = "HKEY_CLASSES_ROOT\\CLSID";

// A dlopen handle; closed only when the library says it may go.
class Library {
 public:
  explicit Library(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (!handle_) std::fprintf(stderr, "orvweb-mpris-host: %s\n", ::dlerror());
  }
  ~Library() {
    if (!handle_) return;
    auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(Symbol("DllCanUnloadNow"));
    if (canUnload && canUnload() == S_OK) ::dlclose(handle_);  // else it stays loaded
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  explicit operator bool() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

 private:
  void* handle_;
};

}  // namespace

struct PluginHost::Loaded {
  Registration registration;
  std::unique_ptr<Library> library;  // declared first: goes after the object
  ComPtr<IWMPPluginUI> plugin;

  ~Loaded() {
    if (plugin) plugin->SetCore(nullptr);
    plugin.reset();
  }
};

std::vector<Registration> ReadRegistrations() {
  registry::Store store;
  std::vector<Registration> out;
  for (const std::string& key : store.SubKeys(kUIPluginsKey)) {
    Registration r;
    if (!GuidFromString(key, r.clsid)) continue;
    r.clsidText = key;
    const auto module = store.GetString(std::string(kClassesRoot) + "\\" + key + "\\InprocServer32", "");
    if (!module || module->empty()) continue;
    r.module = ToUtf8(*module);
    out.push_back(std::move(r));
  }
  return out;
}

std::u16string ResolveRegisteredText(const std::u16string& value, DllLoadStringFn loadString) {
  const std::u16string_view scheme = u"res://", table = u"/RT_STRING/#";
  if (!loadString || value.compare(0, scheme.size(), scheme) != 0) return value;
  const size_t at = value.find(table, scheme.size());
  if (at == std::u16string::npos || at + table.size() == value.size()) return value;
  uint32_t id = 0;
  for (size_t i = at + table.size(); i < value.size(); ++i) {
    if (value[i] < u'0' || value[i] > u'9' || id > 0xFFFF) return value;
    id = id * 10 + static_cast<uint32_t>(value[i] - u'0');
  }
  char16_t text[256];
  const int n = loadString(id, text, 256);
  if (n <= 0 || n >= 256) return value;
  return std::u16string(text, static_cast<size_t>(n));
}

PluginHost::PluginHost(IWMPCore* core) : core_(core) {}

PluginHost::~PluginHost() { Clear(); }

void PluginHost::Clear() {
  // Newest first, the reverse of loading.
  while (!loaded_.empty()) loaded_.pop_back();
}

void PluginHost::Refresh() {
  const auto registrations = ReadRegistrations();
  auto registered = [&](const Registration& r) {
    return std::any_of(registrations.begin(), registrations.end(), [&](const Registration& x) {
      return x.clsid == r.clsid && x.module == r.module;
    });
  };
  std::erase_if(loaded_, [&](const std::unique_ptr<Loaded>& l) { return !registered(l->registration); });

  for (const Registration& r : registrations) {
    const bool present = std::any_of(loaded_.begin(), loaded_.end(), [&](const std::unique_ptr<Loaded>& l) {
      return l->registration.clsid == r.clsid;
    });
    if (present) continue;
    auto entry = std::make_unique<Loaded>();
    entry->registration = r;
    entry->library = std::make_unique<Library>(r.module);
    auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(entry->library->Symbol("DllGetClassObject"));
    if (!getClassObject) continue;
    ComPtr<IClassFactory> factory;
    HRESULT hr = getClassObject(r.clsid, IID_IClassFactory, factory.put_void());
    if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, IID_IWMPPluginUI, entry->plugin.put_void());
    factory.reset();
    if (FAILED(hr) || !entry->plugin) {
      std::fprintf(stderr, "orvweb-mpris-host: plug-in %s from %s not created (0x%08X)\n", r.clsidText.c_str(),
                   r.module.c_str(), static_cast<unsigned>(hr));
      continue;  // tried again at the next refresh
    }
    {
      registry::Store store;
      const auto name = store.GetString(std::string(kUIPluginsKey) + "\\" + r.clsidText, "FriendlyName");
      auto loadString = reinterpret_cast<DllLoadStringFn>(entry->library->Symbol("DllLoadString"));
      std::fprintf(stderr, "orvweb-mpris-host: plug-in \"%s\" loaded from %s\n",
                   ToUtf8(ResolveRegisteredText(name.value_or(u""), loadString)).c_str(), r.module.c_str());
    }
    hr = entry->plugin->SetCore(core_.get());
    if (FAILED(hr)) {
      std::fprintf(stderr, "orvweb-mpris-host: plug-in %s refused the core (0x%08X)\n", r.clsidText.c_str(),
                   static_cast<unsigned>(hr));
    }
    loaded_.push_back(std::move(entry));
  }
}

HRESULT RegisterLibrary(const std::string& path, bool unregister) {
  Library library(path);
  auto entry = reinterpret_cast<DllRegisterServerFn>(
      library.Symbol(unregister ? "DllUnregisterServer" : "DllRegisterServer"));
  if (!entry) return E_FAIL;
  return entry();
}

}  // namespace platform::player
