// The songs folder and the help page reach the desktop's default handler:
// a handler of the test's own, registered through the XDG data and config
// folders, records the URIs GIO starts it with.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/shell/opener.h"
#include "platform/text/utf.h"
#include "recorder/core/profile.h"
#include "recorder/ui/opener.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace {

class DesktopOpener : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path data = dir.path() / "data";
    fs::create_directories(data / "applications");
    fs::create_directories(dir.path() / "config");
    handler = dir.path() / "handler.sh";
    std::ofstream(handler) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << (dir.path() / "opened").string() << "'\n";
    fs::permissions(handler, fs::perms::owner_all);
    std::ofstream(data / "applications" / "orvweb-test-handler.desktop")
        << "[Desktop Entry]\nType=Application\nName=Test handler\nExec=" << handler.string()
        << " %u\nMimeType=inode/directory;text/html;x-scheme-handler/https;\n";
    std::ofstream(dir.path() / "config" / "mimeapps.list")
        << "[Default Applications]\ninode/directory=orvweb-test-handler.desktop\n"
           "text/html=orvweb-test-handler.desktop\nx-scheme-handler/https=orvweb-test-handler.desktop\n";
  }

  std::vector<std::string> Opened(size_t count) {
    std::vector<std::string> lines;
    testing_support::WaitUntil([&] {
      lines.clear();
      std::ifstream in(dir.path() / "opened");
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      return lines.size() >= count;
    });
    return lines;
  }

  testing_support::TempDir dir;
  fs::path handler;
  // GIO reads these once, at its first look-up in this process.
  testing_support::ScopedEnv dataHome{"XDG_DATA_HOME", (dir.path() / "data").string()};
  // The system's MIME database tells a folder and an HTML page apart; the
  // user's default applications (config home) pick our handler over any other.
  testing_support::ScopedEnv dataDirs{"XDG_DATA_DIRS", (dir.path() / "data").string() + ":/usr/share"};
  testing_support::ScopedEnv configHome{"XDG_CONFIG_HOME", (dir.path() / "config").string()};
  testing_support::ScopedEnv configDirs{"XDG_CONFIG_DIRS", (dir.path() / "config").string()};
  testing_support::ScopedEnv noPortal{"GTK_USE_PORTAL", "0"};
};

TEST_F(DesktopOpener, SongsFolderAndHelpPageReachTheDefaultHandler) {
  // A folder name with the characters a URI must escape.
  const fs::path songs = dir.path() / "My Songs #1 100%";
  orvweb::WriteProfileString(orvweb::kKeySongsFolder, platform::FromUtf8(songs.string() + "/"));
  platform::shell::GioOpener opener;
  ASSERT_TRUE(orvweb::ui::OpenSongsFolder(opener));
  // Each open starts a handler process of its own: the first is waited for,
  // so the two lines come in the order they were opened.
  ASSERT_EQ(Opened(1).size(), 1u);
  ASSERT_TRUE(orvweb::ui::OpenHelpPage(opener));
  const auto opened = Opened(2);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_TRUE(fs::is_directory(songs)) << "the folder is made before it is opened";
  // GIO hands a local file to the handler as its path, escapes undone.
  std::string folder = opened[0];
  if (folder.ends_with("/")) folder.pop_back();
  EXPECT_EQ(folder, songs.string());
  // The bundled help page goes out under its ".htm" name.
  EXPECT_EQ("file://" + opened[1], orvweb::ui::HelpPageUri());
  EXPECT_TRUE(opened[1].ends_with("/help.htm")) << opened[1];
}

TEST_F(DesktopOpener, AUriWithoutAHandlerIsAFailure) {
  platform::shell::GioOpener opener;
  EXPECT_FALSE(opener.OpenUri("orvweb-no-such-scheme:thing"));
}

}  // namespace
