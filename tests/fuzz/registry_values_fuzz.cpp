// Arbitrary bytes as a key's values file: reading must never crash, and a
// write must keep the damaged bytes aside and leave a readable file.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/registry/registry.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path root = [] {
    char pattern[] = "/tmp/orvweb-registry-fuzz.XXXXXX";
    return fs::path(::mkdtemp(pattern));
  }();
  // Registered after root is made, so it runs before root is destroyed.
  static const bool cleanup = (std::atexit([] {
                                 std::error_code ec;
                                 fs::remove_all(root, ec);
                               }),
                               true);
  (void)cleanup;
  const fs::path folder = root / "HKEY_CURRENT_USER" / "K";
  fs::remove_all(folder);
  fs::create_directories(folder);
  std::ofstream(folder / ".values", std::ios::binary).write(reinterpret_cast<const char*>(data), size);

  platform::registry::Store store(root);
  store.TypeOf("HKCU\\K", "a");
  store.GetString("HKCU\\K", "a");
  store.GetDword("HKCU\\K", "b");
  store.ValueNames("HKCU\\K");
  if (!store.SetDword("HKCU\\K", "written", 7) || store.GetDword("HKCU\\K", "written") != 7u) __builtin_trap();
  return 0;
}
