// Binding the real LAME library: where it is looked for, and what does not
// count as it. The encoding itself is checked with the engine's encoder.
#include "platform/lame/lame.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace fs = std::filesystem;
using namespace platform::lame;

namespace {

TEST(Lame, TheLibraryInTheProgramsFolderWins) {
  testing_support::TempDir folder;
  const auto system = LoadLameApi({});
  ASSERT_NE(system, nullptr);
  EXPECT_NE(LameLibraryPath(*system).find(kLameLibraryName), std::string::npos);
  const Mp3EncoderTable table = MakeLameTable(system);
  EXPECT_TRUE(table.Complete());
  BE_VERSION version;
  table.beVersion(version);
  EXPECT_EQ(version.byMajorVersion, 3);

  fs::copy_file(LameLibraryPath(*system), folder.path() / kLameLibraryName);
  const auto local = LoadLameApi(folder.path());
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(fs::path(LameLibraryPath(*local)), folder.path() / kLameLibraryName);

  // No library in the folder: the system's.
  testing_support::TempDir empty;
  const auto fallback = LoadLameApi(empty.path());
  ASSERT_NE(fallback, nullptr);
  EXPECT_EQ(LameLibraryPath(*fallback), LameLibraryPath(*system));
}

TEST(Lame, ALibraryMissingAnEntryPointIsNotTheEncoder) {
  testing_support::TempDir folder;
  fs::copy_file(ORVWEB_PARTIAL_LAME, folder.path() / kLameLibraryName);
  EXPECT_EQ(LoadLameApi(folder.path()), nullptr);
  const Mp3EncoderTable table = MakeLameTable(LoadLameApi(folder.path()));
  EXPECT_FALSE(table.Complete());
  EXPECT_FALSE(table.beInitStream || table.beEncodeChunk || table.beDeinitStream || table.beCloseStream ||
               table.beVersion || table.beWriteVBRHeader);
}

}  // namespace
