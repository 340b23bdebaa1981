#pragma once
// Loads the built OrvWeb.so the way a player does and gives each test a
// private runtime folder (for the now-playing section) and registry.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/wmp.h"
#include "platform/ipc/ipc.h"
#include "shared/now_playing.h"
#include "test_support.h"

namespace plugin_test {

using namespace platform;

inline constexpr CLSID kClsid = {0x1C5964EA, 0xB4FA, 0x44A3, {0x81, 0xD7, 0x3A, 0xD0, 0x28, 0x1B, 0x5B, 0xFA}};

struct Module {
  void* handle = nullptr;
  HRESULT (*getClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT (*canUnloadNow)() = nullptr;
  HRESULT (*registerServer)() = nullptr;
  HRESULT (*unregisterServer)() = nullptr;
  int (*loadString)(uint32_t, char16_t*, int) = nullptr;

  static Module& Get() {
    static Module m = [] {
      Module x;
      x.handle = ::dlopen(ORVWEB_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
      if (!x.handle) throw std::runtime_error(::dlerror());
      x.getClassObject = reinterpret_cast<decltype(x.getClassObject)>(::dlsym(x.handle, "DllGetClassObject"));
      x.canUnloadNow = reinterpret_cast<decltype(x.canUnloadNow)>(::dlsym(x.handle, "DllCanUnloadNow"));
      x.registerServer = reinterpret_cast<decltype(x.registerServer)>(::dlsym(x.handle, "DllRegisterServer"));
      x.unregisterServer = reinterpret_cast<decltype(x.unregisterServer)>(::dlsym(x.handle, "DllUnregisterServer"));
      x.loadString = reinterpret_cast<decltype(x.loadString)>(::dlsym(x.handle, "DllLoadString"));
      return x;
    }();
    return m;
  }
};

class PluginTest : public ::testing::Test {
 protected:
  PluginTest()
      : runtime_(MakeRuntime(dir_.path())),
        runtimeEnv_("XDG_RUNTIME_DIR", runtime_.string()),
        configEnv_("XDG_CONFIG_HOME", (dir_.path() / "config").string()),
        notices_(ipc::BroadcastListener::Create(orvweb::NowPlayingMessageNameUtf8())) {}

  static std::filesystem::path MakeRuntime(const std::filesystem::path& base) {
    auto rt = base / "runtime";
    std::filesystem::create_directory(rt);
    ::chmod(rt.c_str(), 0700);
    return rt;
  }

  HRESULT CreatePlugin(ComPtr<IWMPPluginUI>& out) {
    ComPtr<IClassFactory> factory;
    HRESULT hr = Module::Get().getClassObject(kClsid, IID_IClassFactory, factory.put_void());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, IID_IWMPPluginUI, out.put_void());
  }

  // Notices posted since the last call.
  int Notices() { return notices_ ? notices_->Drain() : -1; }

  orvweb::NowPlayingSnapshot Read() {
    orvweb::NowPlayingSnapshot snap;
    EXPECT_EQ(orvweb::ReadNowPlaying(snap), orvweb::NowPlayingReadResult::Ok);
    return snap;
  }

  // The section's file, held open so the record stays readable after the
  // writer has removed it.
  int OpenSection() {
    const auto path = runtime_ / std::string("F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE");
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }

  testing_support::TempDir dir_;
  std::filesystem::path runtime_;
  testing_support::ScopedEnv runtimeEnv_;
  testing_support::ScopedEnv configEnv_;
  std::unique_ptr<ipc::BroadcastListener> notices_;
};

}  // namespace plugin_test
