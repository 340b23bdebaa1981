#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "test_support.h"

using platform::registry::Store;
using testing_support::Child;
using testing_support::SelfFolder;
using testing_support::TempDir;

TEST(RegistryProcesses, TwoWritersOfOneKeyLoseNoWrite) {
  TempDir dir;
  const std::string key = "HKEY_CURRENT_USER\\Software\\Test\\Shared";
  const std::string writer = (SelfFolder() / "registry_writer").string();
  Child a({writer, dir.path().string(), key, "A", "500"});
  Child b({writer, dir.path().string(), key, "B", "500"});
  ASSERT_EQ(a.Wait(120000), 0);
  ASSERT_EQ(b.Wait(120000), 0);

  Store store(dir.path());
  EXPECT_EQ(store.ValueNames(key).size(), 1000u);
  for (int i = 0; i < 500; ++i) {
    EXPECT_EQ(store.GetDword(key, "A-" + std::to_string(i)), static_cast<uint32_t>(i));
    EXPECT_EQ(store.GetDword(key, "B-" + std::to_string(i)), static_cast<uint32_t>(i));
  }
}
