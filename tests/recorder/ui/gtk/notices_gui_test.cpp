// The notice, the About box and the folder chooser as GTK windows under the
// rig's X server: the notice's check box writes its setting at once, the
// boxes answer real key presses, and their pictures are saved as artefacts.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/shell/folder_dialog.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "recorder/resources/resources.h"
#include "recorder/ui/gtk/notices.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace {

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, pipe)) out += buf;
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

class Notices : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::getenv("DISPLAY") && gtk_init_check(nullptr, nullptr)) ready = true;
  }
  void SetUp() override {
    if (!ready) GTEST_SKIP() << "needs an X display";
    if (Shell("command -v xdotool").empty()) GTEST_SKIP() << "needs xdotool";
  }

  // Runs modal, which blocks, while act() runs once the window titled title
  // is mapped; fails the test when it never shows.
  void WhileShown(const std::string& title, std::function<void(const std::string& window)> act,
                  std::function<void()> modal) {
    struct Watch {
      std::string title;
      std::function<void(const std::string&)> act;
      bool done = false;
      int ticks = 0;
    } watch{title, std::move(act)};
    const guint source = g_timeout_add(
        100,
        +[](gpointer data) -> gboolean {
          auto& w = *static_cast<Watch*>(data);
          const std::string id =
              Shell("xdotool search --onlyvisible --name '^" + w.title + "$' 2>/dev/null | head -n1");
          if (!id.empty()) {
            // Let the window paint before anything looks at it.
            if (++w.ticks < 5) return G_SOURCE_CONTINUE;
            w.act(id);
            w.done = true;
            return G_SOURCE_REMOVE;
          }
          return G_SOURCE_CONTINUE;
        },
        &watch);
    modal();
    if (!watch.done) g_source_remove(source);
    EXPECT_TRUE(watch.done) << title << " never showed";
  }

  void Screenshot(const std::string& window, const std::string& name) {
    fs::create_directories(ORVWEB_ARTEFACT_DIR);
    Shell("import -window " + window + " '" + (fs::path(ORVWEB_ARTEFACT_DIR) / name).string() + "'");
  }

  static inline bool ready = false;
  testing_support::TempDir dir;
  testing_support::ScopedEnv config{"XDG_CONFIG_HOME", dir.path().string()};
  testing_support::ScopedEnv noPortal{"GTK_USE_PORTAL", "0"};
};

TEST_F(Notices, TheCheckBoxWritesTheSettingOnEveryClick) {
  orvweb::ui::CMinimizeDlg notice(orvweb::resources::Lookup);
  EXPECT_TRUE(notice.hasPicture()) << "the tray picture is built in";
  EXPECT_EQ(orvweb::GetShowMinimizeWarning(), 1);
  GtkButton* box = GTK_BUTTON(notice.checkBox());
  // Ticked: off at once, before any OK; unticked again: back on.
  for (int expected : {0, 1, 0, 1}) {
    gtk_button_clicked(box);
    EXPECT_EQ(orvweb::GetShowMinimizeWarning(), expected);
  }
  // Return answers the default button, OK; nothing more is written.
  WhileShown(
      "Minimizing",
      [&](const std::string& window) {
        Screenshot(window, "minimize-notice.png");
        Shell("xdotool windowactivate --sync " + window + " key Return 2>/dev/null || xdotool windowfocus " + window +
              " key Return");
      },
      [&] { EXPECT_EQ(notice.DoModal(), 1); });
  EXPECT_EQ(orvweb::GetShowMinimizeWarning(), 1);
}

TEST_F(Notices, TheAboutBoxClosesOnItsDefaultButton) {
  WhileShown(
      "About Orvello",
      [&](const std::string& window) {
        Screenshot(window, "about-box.png");
        Shell("xdotool windowfocus " + window + " key Return");
      },
      [] { orvweb::ui::RunAboutBox(nullptr); });
}

TEST_F(Notices, TheFolderChooserAnswersAPathOrNoSelection) {
  const fs::path start = dir.path() / "Start here";
  const fs::path other = dir.path() / "Other songs";
  fs::create_directories(start);
  fs::create_directories(other);
  struct Case {
    const char* name;
    std::string keys;
    int result;
    fs::path path;
  };
  const Case cases[] = {
      {"Escape chooses nothing", "Escape", platform::shell::CFolderDialog::kNoSelection, {}},
      {"a typed folder is chosen", "ctrl+l", platform::shell::CFolderDialog::kOk, other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::shell::CFolderDialog chooser("Choose Songs Folder", start.string(), nullptr);
    int result = 0;
    WhileShown(
        "Choose Songs Folder",
        [&](const std::string& window) {
          Shell("xdotool windowfocus " + window + " key " + c.keys);
          if (!c.path.empty()) {
            Shell("sleep 0.3; xdotool type --delay 5 '" + c.path.string() + "/'; sleep 0.3; xdotool key Return");
          }
        },
        [&] { result = chooser.DoModal(); });
    EXPECT_EQ(result, c.result);
    if (c.result == platform::shell::CFolderDialog::kOk) {
      EXPECT_EQ(fs::path(chooser.path()), c.path);
    }
  }
}

}  // namespace
