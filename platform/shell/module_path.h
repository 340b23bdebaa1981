#pragma once
// Where a loaded library lives, for code that must name its own file (a
// plug-in registering itself).
#include <filesystem>

namespace platform::shell {

// The absolute, normalised path of the executable or shared library that
// holds address; empty when no loaded module holds it.
std::filesystem::path ModuleFile(const void* address);

}  // namespace platform::shell
