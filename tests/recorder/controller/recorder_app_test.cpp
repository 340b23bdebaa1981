// Start-up: one instance per user, the first-run notice, the demand for an
// audio source, and the main window's run.
#include "recorder/controller/recorder_app.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/shell/fake_message_box.h"
#include "platform/text/utf.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace orvweb;
using platform::shell::MessageBoxButtons;
using platform::shell::MessageBoxIcon;
using platform::shell::MessageBoxResult;

namespace {

class Startup : public ::testing::Test {
 protected:
  Startup() {
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
  }

  AppServices Services() {
    AppServices services;
    services.messageBox = &boxes;
    services.optionsPage = &options;
    services.webNotice = &notices;
    services.runMainDialog = [this](COrvWebRecorderApp& app) {
      ++mainRuns;
      lockHeldDuringRun = platform::ipc::NamedLock::IsHeld(kInstanceLockName);
      debugModeSeen = app.debugMode;
    };
    return services;
  }

  // Every file of the settings store with its content.
  std::map<std::string, std::string> Profile() const {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(config, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (!it->is_regular_file()) continue;
      std::ifstream in(it->path(), std::ios::binary);
      files[it->path().string()] = {std::istreambuf_iterator<char>(in), {}};
    }
    return files;
  }

  struct Notices : IWebNotice {
    void Send(std::u16string_view page) override {
      pages.push_back(platform::ToUtf8(page));
      firstRunAtSend.push_back(GetProfileInt(kKeyFirstRun, 1));
    }
    std::vector<std::string> pages;
    std::vector<int> firstRunAtSend;
  };

  struct Options : IOptionsPage {
    int RunModal(platform::Window* owner) override {
      owners.push_back(owner);
      formats.push_back(GetOutputFormat());
      if (!sources.empty()) {
        WriteProfileString(kKeySourceName, sources.front());
        sources.erase(sources.begin());
      }
      return result;
    }
    std::vector<std::u16string> sources;  // what each run stores as the source
    std::vector<platform::Window*> owners;
    std::vector<int> formats;  // what the page would show
    int result = kDialogOk;
  };

  testing_support::TempDir home;
  fs::path config = home.path() / "config";
  fs::path runtime = home.path() / "runtime";
  testing_support::ScopedEnv homeEnv{"HOME", home.path().string()};
  testing_support::ScopedEnv configEnv{"XDG_CONFIG_HOME", config.string()};
  testing_support::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtime.string()};
  testing_support::ScopedEnv languageEnv{"LANGUAGE", "en"};

  platform::shell::FakeMessageBox boxes;
  Options options;
  Notices notices;
  int mainRuns = 0;
  bool lockHeldDuringRun = false;
  int debugModeSeen = -1;
};

TEST_F(Startup, ASecondInstanceSaysSoAndChangesNothing) {
  for (bool fresh : {true, false}) {
    SCOPED_TRACE(fresh);
    if (!fresh) {
      WriteProfileInt(kKeyFirstRun, 1);
      WriteProfileString(kKeySourceName, u"");
    }
    platform::ipc::NamedLock running(kInstanceLockName);
    ASSERT_TRUE(running.TryAcquire());
    const auto before = Profile();
    boxes.shown.clear();

    COrvWebRecorderApp second(Services());
    EXPECT_FALSE(second.InitInstance());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, u"Programm runs already.");
    EXPECT_EQ(boxes.shown[0].buttons, MessageBoxButtons::Ok);
    EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::None);
    EXPECT_EQ(Profile(), before);
    EXPECT_TRUE(notices.pages.empty());
    EXPECT_TRUE(options.owners.empty());
    EXPECT_EQ(mainRuns, 0);
    EXPECT_TRUE(running.held());
  }
}

TEST_F(Startup, OnlyTheFirstStartSendsItsNotice) {
  WriteProfileString(kKeySourceName, u"rec_sink.monitor");
  for (int start = 1; start <= 2; ++start) {
    COrvWebRecorderApp app(Services());
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(mainRuns, start);
    EXPECT_TRUE(lockHeldDuringRun);
  }
  EXPECT_EQ(notices.pages, std::vector<std::string>{"Start2.htm"});
  // Written before the notice went out: a failed notice is not repeated.
  EXPECT_EQ(notices.firstRunAtSend, std::vector<int>{0});
  EXPECT_EQ(GetProfileInt(kKeyFirstRun, 1), 0);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Startup, AnAudioSourceIsDemanded) {
  struct Case {
    std::vector<MessageBoxResult> answers;
    std::vector<std::u16string> sources;  // stored by each options run
    size_t boxes;
    size_t optionRuns;
    int mainRuns;
  };
  const Case cases[] = {
      {{MessageBoxResult::Cancel}, {}, 1, 0, 0},
      {{MessageBoxResult::Ok, MessageBoxResult::Cancel}, {u""}, 2, 1, 0},
      {{MessageBoxResult::Ok, MessageBoxResult::Ok}, {u"", u"rec_sink.monitor"}, 2, 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.boxes * 10 + c.optionRuns);
    WriteProfileString(kKeySourceName, u"");
    boxes.shown.clear();
    boxes.answers.assign(c.answers.begin(), c.answers.end());
    boxes.fallback = MessageBoxResult::Cancel;
    options.owners.clear();
    options.sources = c.sources;
    mainRuns = 0;

    COrvWebRecorderApp app(Services());
    EXPECT_FALSE(app.InitInstance());
    ASSERT_EQ(boxes.shown.size(), c.boxes);
    for (const auto& box : boxes.shown) {
      EXPECT_EQ(box.text, LoadMessage(IDS_SET_PARAMETERS_FIRST));
      EXPECT_EQ(box.buttons, MessageBoxButtons::OkCancel);
      EXPECT_EQ(box.icon, MessageBoxIcon::Exclamation);
    }
    EXPECT_EQ(options.owners, std::vector<platform::Window*>(c.optionRuns, nullptr));
    EXPECT_EQ(mainRuns, c.mainRuns);
  }
}

TEST_F(Startup, DebugModeIsReadForTheMainWindow) {
  WriteProfileString(kKeySourceName, u"rec_sink.monitor");
  for (int mode : {0, 1}) {
    WriteProfileInt(kKeyDebugMode, mode);
    COrvWebRecorderApp app(Services());
    app.InitInstance();
    EXPECT_EQ(debugModeSeen, mode);
  }
}

TEST_F(Startup, ALockThatCannotBeMadeIsAnErrorNamingTheFolderNotASecondInstance) {
  WriteProfileString(kKeySourceName, u"rec_sink.monitor");
  testing_support::TempDir tmp;
  const fs::path fallback = tmp.path() / ("orvweb-" + std::to_string(::getuid()));
  struct Case {
    const char* name;
    std::optional<std::string> runtimeDir;
    std::function<void()> prepare;
    fs::path folder;
    std::string reason;
  };
  const Case cases[] = {
      {"no lock file can be made in the runtime folder", runtime.string(),
       [&] { fs::create_directory(runtime / "OrvWebRecorder.exe.lock"); }, runtime, std::strerror(EISDIR)},
      {"the fallback folder is a link", std::nullopt,
       [&] { fs::create_directory_symlink(runtime, fallback); }, fallback, "it is a symbolic link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::ScopedEnv runtimeDir("XDG_RUNTIME_DIR", c.runtimeDir);
    testing_support::ScopedEnv tmpDir("TMPDIR", tmp.path().string());
    c.prepare();
    const auto before = Profile();
    boxes.shown.clear();
    mainRuns = 0;

    COrvWebRecorderApp app(Services());
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(app.exitCode(), COrvWebRecorderApp::kExitNoInstanceLock);
    ASSERT_EQ(boxes.shown.size(), 1u);
    const std::string text = platform::ToUtf8(boxes.shown[0].text);
    EXPECT_EQ(text.find("runs already"), std::string::npos);
    EXPECT_NE(text.find("\"" + c.folder.string() + "\""), std::string::npos) << text;
    EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Stop);
    EXPECT_EQ(Profile(), before);
    EXPECT_EQ(mainRuns, 0);
    fs::remove_all(runtime / "OrvWebRecorder.exe.lock");
    fs::remove(fallback);
  }

  // Mended, the program starts; a second instance is no failure.
  {
    COrvWebRecorderApp first(Services());
    EXPECT_FALSE(first.InitInstance());
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_EQ(mainRuns, 1);
  }
  platform::ipc::NamedLock running(kInstanceLockName);
  ASSERT_TRUE(running.TryAcquire());
  COrvWebRecorderApp second(Services());
  EXPECT_FALSE(second.InitInstance());
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(boxes.shown.back().text, u"Programm runs already.");
}

TEST_F(Startup, TheOptionsPageAtStartShowsTheOutputFormatThatWillBeRecorded) {
  // No engine exists yet: the options page that demands a source is the
  // first to read the format.
  SetOutputFormat(kOutputFormatMp3);
  SetMp3EncoderProbe(nullptr);
  ASSERT_EQ(GetOutputFormat(), kOutputFormatWma);  // what it read before the start probe
  WriteProfileString(kKeySourceName, u"");
  boxes.answers = {MessageBoxResult::Ok};
  options.sources = {u"rec_sink.monitor"};
  COrvWebRecorderApp app(Services());
  app.InitInstance();

  void* lame = ::dlopen("libmp3lame.so.0", RTLD_NOW | RTLD_LOCAL);
  EXPECT_EQ(options.formats, std::vector<int>{lame ? kOutputFormatMp3 : kOutputFormatWma});
  if (lame) ::dlclose(lame);
  EXPECT_EQ(GetProfileInt(kKeyOutputFormat, 0), kOutputFormatMp3);  // the stored choice is kept
  SetOutputFormat(kOutputFormatWma);
  EXPECT_EQ(GetOutputFormat(), kOutputFormatWma);
  SetMp3EncoderProbe(nullptr);
}

}  // namespace
