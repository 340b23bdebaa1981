#include "recorder/core/message_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <algorithm>

#include "platform/html/memory_page.h"
#include "platform/html/script_page.h"
#include "platform/text/utf.h"
#include "recorder/core/messages.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace orvweb;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

std::string Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class Log : public ::testing::Test {
 protected:
  TempDir home;
  ScopedEnv homeEnv{"HOME", home.path().string()};
  ScopedEnv stateEnv{"XDG_STATE_HOME", (home.path() / "state").string()};
  ScopedEnv langEnv{"LANGUAGE", "en"};
  fs::path logFile = home.path() / "state" / "orv.log";
  platform::html::MemoryPage page;

  std::string Shown() const { return platform::ToUtf8(page.Find("Log")->value); }
};

TEST_F(Log, NewestLineOnTopEachWithItsTime) {
  page.AddElement("Log", "textarea").value = u"left by the page";
  MessageLog log;
  ASSERT_EQ(log.Bind(&page), 0);
  EXPECT_EQ(Shown(), "");  // binding clears it

  log.WriteLogId(IDS_RECORD_LEVEL_SET, {0.35 * 100});
  log.WriteLogText(u"New song 100% %s %d");
  const std::regex lines(R"(\d\d:\d\d:\d\d New song 100% %s %d\n\d\d:\d\d:\d\d Record Level is set to 35%\n)");
  EXPECT_TRUE(std::regex_match(Shown(), lines)) << Shown();
  EXPECT_EQ(platform::ToUtf8(log.Contents()), Shown());
  EXPECT_FALSE(fs::exists(logFile));  // no debug mode, no file
}

TEST_F(Log, DebugModeKeepsOnlyTheLastMessageInTheFile) {
  MessageLog log(true);
  log.WriteLog(u"first %d", {int64_t{1}});  // before the page is bound: file only
  EXPECT_EQ(Read(logFile), "first 1");
  page.AddElement("Log", "textarea");
  ASSERT_EQ(log.Bind(&page), 0);
  log.WriteLogId(IDS_UI_LOADED);
  log.WriteLogText(u"Caf\u00E9 \u30BF");
  EXPECT_EQ(Read(logFile), "Caf\xC3\xA9 \xE3\x82\xBF");  // UTF-8
  const std::string shown = Shown();
  EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 2);
}

TEST_F(Log, APageWithoutLogLeavesOnlyTheFile) {
  page.AddElement("Other");
  MessageLog log(true);
  EXPECT_LT(log.Bind(&page), 0);
  log.WriteLogText(u"still written");
  EXPECT_EQ(Read(logFile), "still written");
  EXPECT_EQ(page.appliedWrites(), 0u);

  // A log element that disappears later is skipped silently.
  page.AddElement("Log", "textarea");
  ASSERT_EQ(log.Bind(&page), 0);
  page.RemoveElement("Log");
  log.WriteLogText(u"after");
  EXPECT_GT(page.skippedWrites(), 0u);
  log.Unbind();
  log.WriteLogText(u"unbound");
  EXPECT_EQ(Read(logFile), "unbound");
}

TEST_F(Log, KeepsTheNewest500LinesAndSendsOnlyTheNewLine) {
  // The page as the web view gets it: one script per write.
  std::vector<std::string> scripts;
  platform::html::ScriptPage sent([&](const std::string& script) { scripts.push_back(script); }, nullptr);
  sent.Bind({"Log"});
  page.AddElement("Log", "textarea");
  MessageLog shown, scripted;
  ASSERT_EQ(shown.Bind(&page), 0);
  ASSERT_EQ(scripted.Bind(&sent), 0);
  for (int i = 1; i <= 600; ++i) {
    const std::u16string line = u"line " + platform::FromUtf8(std::to_string(i));
    shown.WriteLogText(line);
    scripted.WriteLogText(line);
  }
  const std::string text = Shown();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 500);
  EXPECT_NE(text.find(" line 600\n"), std::string::npos);
  EXPECT_NE(text.find(" line 101\n"), std::string::npos);
  EXPECT_EQ(text.find(" line 100\n"), std::string::npos);
  EXPECT_EQ(platform::ToUtf8(shown.Contents()), text);
  // The last write carries its own line and nothing of the 499 before it.
  ASSERT_EQ(scripts.size(), 601u);
  EXPECT_NE(scripts.back().find("line 600"), std::string::npos);
  EXPECT_EQ(scripts.back().find("line 599"), std::string::npos);
  EXPECT_LT(scripts.back().size(), 100u);
}

TEST_F(Log, TheFileGoesToTheUsersStateFolder) {
  EXPECT_EQ(MessageLog::LogFilePath(), logFile);
  ScopedEnv relative{"XDG_STATE_HOME", "relative/state"};
  EXPECT_EQ(MessageLog::LogFilePath(), home.path() / ".local" / "state" / "orv.log");
  ScopedEnv unset{"XDG_STATE_HOME", std::nullopt};
  EXPECT_EQ(MessageLog::LogFilePath(), home.path() / ".local" / "state" / "orv.log");
}

}  // namespace
