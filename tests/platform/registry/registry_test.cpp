#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <fstream>

#include "test_support.h"

namespace fs = std::filesystem;
using platform::registry::Store;
using platform::registry::ValueType;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

constexpr char kKey[] = "HKEY_CURRENT_USER\\Software\\Rived Idadazaz\\OrvWebRecorder\\Settings";

fs::path ValuesFile(const fs::path& root) {
  return root / "HKEY_CURRENT_USER/Software/Rived Idadazaz/OrvWebRecorder/Settings/.values";
}

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

TEST(Registry, ValuesKeepTheirTypes) {
  TempDir dir;
  Store store(dir.path());
  ASSERT_TRUE(store.SetString(kKey, "SongsFolder", u"/home/ann/Music/Orvello Songs/"));
  ASSERT_TRUE(store.SetDword(kKey, "Update Date", 1234));
  ASSERT_TRUE(store.SetQword(kKey, "Big", 0xFFFFFFFFFFFFFFFFull));

  EXPECT_EQ(store.TypeOf(kKey, "SongsFolder"), ValueType::String);
  EXPECT_EQ(store.TypeOf(kKey, "Update Date"), ValueType::Dword);
  EXPECT_EQ(store.TypeOf(kKey, "Big"), ValueType::Qword);
  EXPECT_EQ(store.TypeOf(kKey, "Missing"), ValueType::None);

  EXPECT_EQ(store.GetDword(kKey, "Update Date"), 1234u);
  EXPECT_EQ(store.GetQword(kKey, "Update Date"), std::nullopt);  // a DWORD is no QWORD
  EXPECT_EQ(store.GetQword(kKey, "Big"), 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(store.GetString(kKey, "SongsFolder"), u"/home/ann/Music/Orvello Songs/");

  // Overwriting may change the type.
  ASSERT_TRUE(store.SetQword(kKey, "Update Date", 99));
  EXPECT_EQ(store.TypeOf(kKey, "Update Date"), ValueType::Qword);
}

TEST(Registry, AwkwardNamesAndTextsRoundTrip) {
  TempDir dir;
  Store store(dir.path());
  const std::string key = "HKEY_CLASSES_ROOT\\CLSID\\{1C5964EA-B4FA-44A3-81D7-3AD0281B5BFA}\\..\\a/b\\.values\\100%";
  const struct {
    std::string name;
    std::u16string value;
  } cases[] = {
      {"", u"OrvWeb Class"},
      {"quote\"and\\slash", u"line\nbreak\ttab \"q\" \\ end"},
      {"Record Level", u"Gr\u00FC\u00DFe \U0001F3B5 \u65E5\u672C"},
      {"empty", u""},
  };
  for (const auto& c : cases) ASSERT_TRUE(store.SetString(key, c.name, c.value)) << c.name;
  for (const auto& c : cases) EXPECT_EQ(store.GetString(key, c.name), c.value) << c.name;
  // The odd key components stay inside the store and come back by name.
  EXPECT_EQ(store.SubKeys("HKCR\\CLSID\\{1C5964EA-B4FA-44A3-81D7-3AD0281B5BFA}"), std::vector<std::string>{".."});
  EXPECT_EQ(store.SubKeys("HKCR\\CLSID\\{1C5964EA-B4FA-44A3-81D7-3AD0281B5BFA}\\..\\a/b"),
            std::vector<std::string>{".values"});
  for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().string().rfind(dir.path().string(), 0), 0u);
  }
}

TEST(Registry, InvalidKeyPathsAreRefused) {
  TempDir dir;
  Store store(dir.path());
  for (const char* key : {"", "Software\\X", "HKEY_CURRENT_USER\\\\X", "HKEY_CURRENT_USER\\X\\", "HKEY_NOWHERE\\X"}) {
    EXPECT_FALSE(store.SetDword(key, "v", 1)) << key;
    EXPECT_EQ(store.GetDword(key, "v"), std::nullopt) << key;
  }
}

TEST(Registry, KeysAreCreatedListedAndDeletedWithTheirTrees) {
  TempDir dir;
  Store store(dir.path());
  const std::string plugins = "HKLM\\SOFTWARE\\Microsoft\\MediaPlayer\\UIPlugins";
  ASSERT_TRUE(store.SetDword(plugins + "\\{A}", "Capabilities", 1073741826));
  ASSERT_TRUE(store.SetString(plugins + "\\{A}\\Sub", "x", u"y"));
  ASSERT_TRUE(store.CreateKey(plugins + "\\{B}"));
  EXPECT_EQ(store.SubKeys(plugins), (std::vector<std::string>{"{A}", "{B}"}));
  EXPECT_TRUE(store.DeleteKey(plugins + "\\{A}"));
  EXPECT_FALSE(store.KeyExists(plugins + "\\{A}"));
  EXPECT_TRUE(store.KeyExists(plugins));
  EXPECT_EQ(store.SubKeys(plugins), std::vector<std::string>{"{B}"});
  EXPECT_TRUE(store.DeleteKey(plugins + "\\{A}"));  // deleting what is gone is no failure

  ASSERT_TRUE(store.SetDword(plugins + "\\{B}", "v", 1));
  EXPECT_TRUE(store.DeleteValue(plugins + "\\{B}", "v"));
  EXPECT_EQ(store.TypeOf(plugins + "\\{B}", "v"), ValueType::None);
}

TEST(Registry, DamagedFilesReadAsAbsentAndAreKeptAsideOnWrite) {
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"garbage", std::string("\x00\xff\x13garbage", 10)},
      {"half-written", "; orvweb registry key\n\"OutputFormat\"=dword:1\n\"SongsFo"},
      {"no end marker", "; orvweb registry key\n\"OutputFormat\"=dword:1\n"},
      {"number too big", "; orvweb registry key\n\"OutputFormat\"=dword:4294967296\n; end\n"},
      {"unknown type", "; orvweb registry key\n\"OutputFormat\"=binary:00\n; end\n"},
      {"bad escape", "; orvweb registry key\n\"A\"=sz:\"\\q\"\n; end\n"},
      {"no header", "\"OutputFormat\"=dword:1\n; end\n"},
      {"text after end", "; orvweb registry key\n\"OutputFormat\"=dword:1\n; end\n\"B\"=dword:2\n"},
      {"empty", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    Store store(dir.path());
    WriteFile(ValuesFile(dir.path()), c.text);
    EXPECT_EQ(store.GetDword(kKey, "OutputFormat"), std::nullopt);
    EXPECT_EQ(store.TypeOf(kKey, "OutputFormat"), ValueType::None);
    EXPECT_TRUE(store.ValueNames(kKey).empty());

    ASSERT_TRUE(store.SetDword(kKey, "FirstRun", 0));
    EXPECT_EQ(store.GetDword(kKey, "FirstRun"), 0u);
    // The damaged content is still there, beside the new file.
    int kept = 0;
    for (const auto& entry : fs::directory_iterator(ValuesFile(dir.path()).parent_path())) {
      if (entry.path().filename().string().starts_with(".values.damaged-")) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(content, c.text);
        ++kept;
      }
    }
    EXPECT_EQ(kept, 1);
  }
}

TEST(Registry, HandWrittenFileInTheDocumentedFormatIsRead) {
  TempDir dir;
  WriteFile(ValuesFile(dir.path()),
            "; orvweb registry key\n\"SourceName\"=sz:\"rec_sink.monitor\"\n\"SourceInput\"=dword:4294967295\n; end\n");
  Store store(dir.path());
  EXPECT_EQ(store.GetString(kKey, "SourceName"), u"rec_sink.monitor");
  EXPECT_EQ(store.GetDword(kKey, "SourceInput"), 0xFFFFFFFFu);
}

TEST(Registry, EveryReadSeesTheFileAsItIsNow) {
  TempDir dir;
  Store a(dir.path()), b(dir.path());
  ASSERT_TRUE(a.SetDword(kKey, "ShowRecLevel", 1));
  EXPECT_EQ(b.GetDword(kKey, "ShowRecLevel"), 1u);
  ASSERT_TRUE(b.SetDword(kKey, "ShowRecLevel", 0));
  EXPECT_EQ(a.GetDword(kKey, "ShowRecLevel"), 0u);
}

TEST(Registry, DefaultRootFollowsXdgConfigHome) {
  TempDir dir;
  {
    ScopedEnv config("XDG_CONFIG_HOME", dir.path().string());
    EXPECT_EQ(Store::DefaultRoot(), dir.path() / "orvweb" / "registry");
    Store store;
    ASSERT_TRUE(store.SetDword(kKey, "DebugMode", 1));
    EXPECT_TRUE(fs::exists(ValuesFile(dir.path() / "orvweb" / "registry")));
  }
  ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv home("HOME", dir.path().string());
  EXPECT_EQ(Store::DefaultRoot(), dir.path() / ".config" / "orvweb" / "registry");
}

}  // namespace
