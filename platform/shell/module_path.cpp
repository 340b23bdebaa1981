#include "platform/shell/module_path.h"

#include <dlfcn.h>

namespace platform::shell {

std::filesystem::path ModuleFile(const void* address) {
  Dl_info info{};
  if (!address || !::dladdr(address, &info) || !info.dli_fname || !info.dli_fname[0]) return {};
  // The loader keeps the name it was given, which may be relative.
  std::error_code ec;
  auto path = std::filesystem::absolute(info.dli_fname, ec).lexically_normal();
  return ec ? std::filesystem::path(info.dli_fname) : path;
}

}  // namespace platform::shell
