#pragma once
// The program's built-in files (loading page, pictures, icons), compiled
// into the program. Paths are relative: "LoadingPage", "img/howl.gif".
#include <string>
#include <vector>

namespace orvweb::resources {

// The file's bytes and MIME type; false for an unknown path.
bool Lookup(const std::string& path, std::string& bytes, std::string& mimeType);

// The resource paths of an icon resource (128 idle, 16 recording), largest
// first; only those that are built in.
std::vector<std::string> IconPaths(int iconId);

// The GResource path of a built-in file, for GLib/GDK loaders.
std::string ResourcePath(const std::string& path);

}  // namespace orvweb::resources
