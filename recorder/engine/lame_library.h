#pragma once
// The LAME library bound at run time: libmp3lame.so.0 from the program's
// folder first, else from the system's library search path. It is never
// unloaded. Over its C API sit the BladeEnc-shaped entry points of the
// encoder binding, giving the configuration record LAME's own meaning.
#include <filesystem>
#include <memory>
#include <string>

#include "recorder/engine/mp3_encoder.h"

namespace orvweb {

inline constexpr char kLameLibraryName[] = "libmp3lame.so.0";

struct LameApi;

// Loads the library (folder first) and resolves every entry point the
// binding uses; nullptr when the library or one entry point is missing.
std::shared_ptr<const LameApi> LoadLameApi(const std::filesystem::path& programFolder);
// The file the library was loaded from.
std::string LameLibraryPath(const LameApi& api);

// The entry points over a loaded library; an empty table for nullptr.
Mp3EncoderTable MakeLameTable(std::shared_ptr<const LameApi> api);
// The table over the library of the program's folder or the system. A
// library that is found once stays bound; a missing one is looked for again
// next time.
Mp3EncoderTable LameEncoderTable();

// Makes GetOutputFormat() ask whether the library can be bound.
void InstallMp3EncoderProbe();

}  // namespace orvweb
