// DllRegisterServer/DllUnregisterServer against a private registry store.
#include <gtest/gtest.h>

#include <fstream>

#include "plugin_fixture.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"

namespace plugin_test {
namespace {

constexpr const char* kClassKey = "HKEY_CLASSES_ROOT\\CLSID\\{1C5964EA-B4FA-44A3-81D7-3AD0281B5BFA}";
constexpr const char* kServerKey = "HKEY_CLASSES_ROOT\\CLSID\\{1C5964EA-B4FA-44A3-81D7-3AD0281B5BFA}\\InprocServer32";
constexpr const char* kPluginKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\MediaPlayer\\UIPlugins\\{1C5964EA-B4FA-44A3-81D7-3AD0281B5BFA}";

class Registration : public PluginTest {
 protected:
  Registration() : changes_(ipc::BroadcastListener::Create(kPluginAddRemoveMessage)) {}
  int Changes() { return changes_->Drain(); }
  registry::Store store_;
  std::unique_ptr<ipc::BroadcastListener> changes_;
};

TEST_F(Registration, RegisteringTwiceLeavesOneSetOfKeys) {
  // Left-overs of an older registration go: both keys are replaced whole.
  ASSERT_TRUE(store_.SetString(kPluginKey, "Stale", u"old"));
  ASSERT_TRUE(store_.SetString(std::string(kClassKey) + "\\LocalServer32", "", u"/old/path"));

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(Module::Get().registerServer(), S_OK);
    EXPECT_EQ(Changes(), 1);

    EXPECT_EQ(store_.ValueNames(kClassKey), std::vector<std::string>{""});
    EXPECT_EQ(store_.GetString(kClassKey, ""), u"OrvWeb Class");
    EXPECT_EQ(store_.SubKeys(kClassKey), std::vector<std::string>{"InprocServer32"});
    const auto module = store_.GetString(kServerKey, "");
    ASSERT_TRUE(module);
    EXPECT_EQ(std::filesystem::path(platform::ToUtf8(*module)),
              std::filesystem::canonical(ORVWEB_PLUGIN_PATH));  // the library's absolute path
    EXPECT_EQ(store_.GetString(kServerKey, "ThreadingModel"), u"Apartment");
    EXPECT_EQ(store_.ValueNames(kServerKey).size(), 2u);

    EXPECT_EQ(store_.ValueNames(kPluginKey).size(), 3u);
    EXPECT_EQ(store_.GetString(kPluginKey, "FriendlyName"), u"res://OrvWeb.dll/RT_STRING/#102");
    EXPECT_EQ(store_.GetString(kPluginKey, "Description"), u"res://OrvWeb.dll/RT_STRING/#103");
    EXPECT_EQ(store_.TypeOf(kPluginKey, "Capabilities"), registry::ValueType::Dword);
    EXPECT_EQ(store_.GetDword(kPluginKey, "Capabilities"), 1073741826u);
    EXPECT_TRUE(store_.SubKeys(kPluginKey).empty());
  }
}

TEST_F(Registration, UnregisteringRemovesThePluginsKeysAndKeepsTheParents) {
  const std::string otherPlugin = std::string(kUIPluginsKey) + "\\{00000000-1111-2222-3333-444444444444}";
  ASSERT_TRUE(store_.SetDword(otherPlugin, "Capabilities", 2));
  ASSERT_EQ(Module::Get().registerServer(), S_OK);
  Changes();

  EXPECT_EQ(Module::Get().unregisterServer(), S_OK);
  EXPECT_EQ(Changes(), 1);
  EXPECT_FALSE(store_.KeyExists(kClassKey));
  EXPECT_FALSE(store_.KeyExists(kPluginKey));
  EXPECT_TRUE(store_.KeyExists("HKEY_CLASSES_ROOT\\CLSID"));
  EXPECT_TRUE(store_.KeyExists(kUIPluginsKey));
  EXPECT_EQ(store_.GetDword(otherPlugin, "Capabilities"), 2u);  // other plug-ins stay

  // Unregistering what is not there is no failure, and still tells players.
  EXPECT_EQ(Module::Get().unregisterServer(), S_OK);
  EXPECT_EQ(Changes(), 1);
}

TEST_F(Registration, AFailedRegistrationIsReportedAndStillBroadcast) {
  // The store's root cannot be made: a file stands where its folder goes.
  const auto config = dir_.path() / "config";
  std::filesystem::create_directories(config);
  { std::ofstream(config / "orvweb") << "in the way"; }
  EXPECT_TRUE(FAILED(Module::Get().registerServer()));
  EXPECT_EQ(Changes(), 1);
}

TEST_F(Registration, TheNamesTheRegistrationPointsAtAreInTheLibrarysStringTable) {
  ASSERT_EQ(Module::Get().registerServer(), S_OK);
  ASSERT_NE(Module::Get().loadString, nullptr);
  for (const char* value : {"FriendlyName", "Description"}) {
    SCOPED_TRACE(value);
    const std::u16string address = store_.GetString(kPluginKey, value).value_or(u"");
    const size_t hash = address.rfind(u'#');
    ASSERT_NE(hash, std::u16string::npos);
    const auto id = static_cast<uint32_t>(std::stoul(platform::ToUtf8(address.substr(hash + 1))));
    char16_t text[64];
    const int n = Module::Get().loadString(id, text, 64);
    EXPECT_EQ(std::u16string(text, n), u"Orvello Plugin");
    EXPECT_EQ(text[n], u'\0');
    EXPECT_EQ(Module::Get().loadString(id, nullptr, 0), n);
  }
  // A short buffer gets a cut text that still ends; an unknown one nothing.
  char16_t shortBuffer[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(Module::Get().loadString(102, shortBuffer, 4), 3);
  EXPECT_EQ(std::u16string(shortBuffer), u"Orv");
  EXPECT_EQ(Module::Get().loadString(101, shortBuffer, 4), 0);
  EXPECT_EQ(shortBuffer[0], u'\0');
}

}  // namespace
}  // namespace plugin_test
