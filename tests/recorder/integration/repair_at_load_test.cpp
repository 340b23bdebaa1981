// The controller repairs a song left by a crash when its page first loads,
// before monitoring starts, and says so in the log.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/recorder/controller/controller_fixture.h"

namespace {

using controller_test::Controller;
using controller_test::M;
using namespace orvweb;
namespace fs = std::filesystem;

struct Case {
  const char* name;
  bool works;
  int64_t lengthMs;
  std::vector<int> logged;  // after "User interface is loaded."
  bool kept;
};

class RepairAtLoad : public Controller, public ::testing::WithParamInterface<Case> {};

TEST_P(RepairAtLoad, TheRepairIsLoggedAndItsFileKeptOrDeleted) {
  const Case c = GetParam();
  fs::create_directories(songs);
  const fs::path song = songs / "A - B.mp3";
  std::ofstream(song, std::ios::binary) << "left by a crash";
  fs::create_directories(SongMarkerPath().parent_path());
  std::string marker = "orvweb-song 1\n1";
  for (const std::string& field : {song.string(), song.string(), std::string("A"), std::string("B")}) {
    marker += '\0';
    marker += field;
  }
  marker += '\0';
  std::ofstream(SongMarkerPath(), std::ios::binary) << marker;

  std::vector<std::string> repaired;
  dlg->engine().SetSongFileTools({[&](const std::string&, int) -> std::optional<int64_t> { return c.lengthMs; },
                                  [&](const std::string& path, int) {
                                    // Monitoring has not started yet.
                                    EXPECT_FALSE(dlg->engine().hasGraph());
                                    repaired.push_back(path);
                                    return c.works;
                                  }});
  Load();
  EXPECT_EQ(repaired, std::vector<std::string>{song.string()});
  std::vector<std::string> expected = {M(IDS_UI_LOADED)};
  for (int id : c.logged) {
    expected.push_back(platform::ToUtf8(FormatText(LoadMessage(id), {std::u16string(u"A - B.mp3")})));
  }
  const auto logged = Logged();
  ASSERT_GE(logged.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(logged.begin(), logged.begin() + static_cast<std::ptrdiff_t>(expected.size())),
            expected);
  EXPECT_EQ(fs::exists(song), c.kept);
  EXPECT_FALSE(fs::exists(SongMarkerPath()));

  // A later load of the page (its web process died) repairs nothing again.
  repaired.clear();
  Load();
  EXPECT_TRUE(repaired.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RepairAtLoad,
    ::testing::Values(Case{"Repaired", true, 60000, {IDS_SONG_REPAIRED}, true},
                      Case{"RepairedButTooShort", true, 5000, {IDS_SONG_REPAIRED, IDS_SONG_TOO_SHORT}, false},
                      Case{"NotRepaired", false, 60000, {IDS_SONG_NOT_REPAIRED}, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
