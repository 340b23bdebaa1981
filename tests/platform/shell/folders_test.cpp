#include <dlfcn.h>
#include <gtest/gtest.h>

#include <optional>

#include "platform/shell/folders.h"
#include "platform/shell/module_path.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::ScopedEnv;

namespace {

void InThisProgram() {}

TEST(Shell, StateFolderTakesOnlyAnAbsoluteXdgStateHome) {
  ScopedEnv home("HOME", "/home/someone");
  struct Case {
    std::optional<std::string> value;
    fs::path folder;
  };
  const Case cases[] = {
      {"/var/state", "/var/state"},
      {"relative/state", "/home/someone/.local/state"},
      {"", "/home/someone/.local/state"},
      {std::nullopt, "/home/someone/.local/state"},
  };
  for (const Case& c : cases) {
    ScopedEnv state("XDG_STATE_HOME", c.value);
    EXPECT_EQ(platform::shell::StateFolder(), c.folder) << c.value.value_or("(unset)");
  }
}

TEST(Shell, ModuleFileNamesTheProgramOrLibraryHoldingAnAddress) {
  const fs::path self = platform::shell::ModuleFile(reinterpret_cast<const void*>(&InThisProgram));
  ASSERT_TRUE(self.is_absolute()) << self;
  EXPECT_TRUE(fs::equivalent(self, "/proc/self/exe")) << self;

  void* getpid = ::dlsym(RTLD_DEFAULT, "getpid");
  ASSERT_NE(getpid, nullptr);
  const fs::path libc = platform::shell::ModuleFile(getpid);
  EXPECT_TRUE(libc.is_absolute()) << libc;
  EXPECT_EQ(libc.filename().string().rfind("libc.so", 0), 0u) << libc;

  EXPECT_TRUE(platform::shell::ModuleFile(nullptr).empty());
}

}  // namespace
