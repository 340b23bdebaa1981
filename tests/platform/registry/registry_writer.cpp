// Writes COUNT values "PREFIX-i" = i into one key of the store at ROOT.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry/registry.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: registry_writer ROOT KEY PREFIX COUNT\n");
    return 2;
  }
  platform::registry::Store store{std::filesystem::path(argv[1])};
  const int count = std::atoi(argv[4]);
  for (int i = 0; i < count; ++i) {
    if (!store.SetDword(argv[2], std::string(argv[3]) + "-" + std::to_string(i), static_cast<uint32_t>(i))) return 1;
  }
  return 0;
}
