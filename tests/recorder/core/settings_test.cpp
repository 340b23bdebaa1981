#include "recorder/core/settings.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace orvweb;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

// A fresh user: own home, own configuration, no user-dirs file.
class Settings : public ::testing::Test {
 protected:
  TempDir home;
  ScopedEnv homeEnv{"HOME", home.path().string()};
  ScopedEnv configEnv{"XDG_CONFIG_HOME", (home.path() / ".config").string()};

  std::u16string U(const fs::path& p) { return platform::FromUtf8(p.string()); }
  void UserDirs(const std::string& line) {
    fs::create_directories(home.path() / ".config");
    std::ofstream(home.path() / ".config" / "user-dirs.dirs") << "# written by xdg-user-dirs-update\n" << line << "\n";
  }
};

TEST_F(Settings, FreshProfileGetsOrvelloSongsInTheMusicFolderAndStoresIt) {
  const std::u16string expected = U(home.path() / "Music" / "Orvello Songs") + u"/";
  EXPECT_EQ(GetSongsFolder(), expected);
  EXPECT_EQ(GetProfileString(kKeySongsFolder, u""), expected);
  // The music folder did not exist either: both levels are made.
  EXPECT_TRUE(fs::is_directory(home.path() / "Music" / "Orvello Songs"));
}

TEST_F(Settings, MusicFolderComesFromTheXdgUserDirs) {
  const struct {
    std::string line;
    fs::path music;
  } cases[] = {
      {"XDG_MUSIC_DIR=\"$HOME/Musik\"", home.path() / "Musik"},
      {"XDG_MUSIC_DIR=\"/srv/audio with space\"", "/srv/audio with space"},
      {"XDG_MUSIC_DIR=\"$HOME/\"", home.path() / "Music"},  // disabled: the XDG default
      {"XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"", home.path() / "Music"},
      {"XDG_MUSIC_DIR=relative", home.path() / "Music"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    UserDirs(c.line);
    WriteProfileString(kKeySongsFolder, u"");
    EXPECT_EQ(GetProfileString(kKeySongsFolder, u"unset"), u"");
    const std::u16string folder = GetSongsFolder();
    EXPECT_EQ(folder, U(c.music / "Orvello Songs") + u"/");
  }
}

TEST_F(Settings, StoredFolderGetsItsSlashAndIsCreatedButStaysAsTyped) {
  const fs::path typed = home.path() / "Rec";
  WriteProfileString(kKeySongsFolder, U(typed));
  EXPECT_EQ(GetSongsFolder(), U(typed) + u"/");
  EXPECT_TRUE(fs::is_directory(typed));
  EXPECT_EQ(GetProfileString(kKeySongsFolder, u""), U(typed));
}

TEST_F(Settings, OutputFormatFallsBackToWmaWithoutChangingTheStoredValue) {
  const auto yes = [] { return true; };
  const auto no = [] { return false; };
  EXPECT_EQ(GetOutputFormat(yes), kOutputFormatWma);  // absent: WMA
  SetOutputFormat(kOutputFormatMp3);
  EXPECT_EQ(GetOutputFormat(yes), kOutputFormatMp3);
  EXPECT_EQ(GetOutputFormat(no), kOutputFormatWma);
  EXPECT_EQ(GetProfileInt(kKeyOutputFormat, 0), kOutputFormatMp3);
  SetOutputFormat(7);
  EXPECT_EQ(GetOutputFormat(no), 7);  // neither format: passed through

  SetOutputFormat(kOutputFormatMp3);
  SetMp3EncoderProbe(yes);
  EXPECT_EQ(GetOutputFormat(), kOutputFormatMp3);
  SetMp3EncoderProbe(nullptr);
  EXPECT_EQ(GetOutputFormat(), kOutputFormatWma);
}

TEST_F(Settings, IntegersKeepTheirSignAndOtherTypesReadAsDefault) {
  EXPECT_EQ(GetProfileInt(kKeySourceInput, -1), -1);  // what the options page reads
  EXPECT_EQ(GetProfileInt(kKeySourceInput, 0), 0);    // what the capture graph reads
  WriteProfileInt(kKeySourceInput, -1);
  EXPECT_EQ(GetProfileInt(kKeySourceInput, 0), -1);
  platform::registry::Store().SetString(kProfileKey, kKeyMinSongLength, u"40");
  EXPECT_EQ(GetProfileInt(kKeyMinSongLength, 99), 99);
  EXPECT_EQ(GetProfileString(kKeySourceInput, u"none"), u"none");
}

TEST_F(Settings, MinimizeWarningDefaultsOnAndIsWritten) {
  EXPECT_EQ(GetShowMinimizeWarning(), 1);
  SetShowMinimizeWarning(0);
  EXPECT_EQ(GetShowMinimizeWarning(), 0);
}

TEST_F(Settings, ProfileLivesUnderTheProductKey) {
  WriteProfileInt(kKeyFirstRun, 0);
  EXPECT_TRUE(fs::exists(home.path() /
                         ".config/orvweb/registry/HKEY_CURRENT_USER/Software/Rived Idadazaz/OrvWebRecorder/Settings/.values"));
}

TEST_F(Settings, ProgramFolderIsTheExecutablesFolder) {
  EXPECT_EQ(GetProgramFolder(), U(fs::read_symlink("/proc/self/exe").parent_path()));
}

}  // namespace
