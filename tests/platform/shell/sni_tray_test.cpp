// The tray item on a private dbus-daemon with the tests' own watcher as its
// host: registration, what a host reads back, clicks and the host leaving.
#include "platform/shell/sni_tray.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "sni_watcher.h"
#include "test_support.h"

namespace {

using platform::shell::SniTray;
using platform::shell::TrayPicture;
using platform::shell::TrayPixmap;
using testing_support::SniWatcher;

constexpr int kRecording = 16;
constexpr int kIdle = 128;

// A session bus of the test's own: nothing another test serves is seen.
class TestBus {
 public:
  TestBus() : daemon_(dir_.path() / "bus"), env_("DBUS_SESSION_BUS_ADDRESS", daemon_.address()) {
    EXPECT_TRUE(daemon_.ready()) << "dbus-daemon did not start";
  }

 private:
  testing_support::TempDir dir_;
  testing_support::BusDaemon daemon_;
  testing_support::ScopedEnv env_;
};

// The item is served by this thread's main context: it runs while we wait.
bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

// Runs a blocking watcher call while the item answers it.
template <typename F>
auto Pumping(F call) {
  auto result = std::async(std::launch::async, std::move(call));
  PumpUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 15000);
  return result.get();
}

TrayPicture Picture(int icon) {
  if (icon == kRecording) {
    return {"orvweb-recording", {TrayPixmap{1, 1, {255, 255, 0, 0}}, TrayPixmap{2, 2, std::vector<uint8_t>(16, 255)}}};
  }
  return {"orvweb-idle", {TrayPixmap{1, 1, {255, 0, 0, 255}}}};
}

struct Shown {
  SniWatcher watcher;
  std::unique_ptr<SniTray> tray;
  std::string service;
  int activated = 0;
  int hostGone = 0;
  std::thread::id activatedOn;

  // A watcher, a tray made after it, and the item added and registered.
  bool Make(int icon, std::u16string tip) {
    if (!watcher.Start()) return false;
    tray = std::make_unique<SniTray>("orvweb", Picture);
    tray->SetHandlers(
        [this] {
          ++activated;
          activatedOn = std::this_thread::get_id();
        },
        [this] { ++hostGone; });
    if (!tray->HostPresent() || !tray->Add(icon, std::move(tip))) return false;
    auto item = Pumping([this] { return watcher.WaitForItem(); });
    service = item.value_or("");
    return item.has_value();
  }
  std::optional<testing_support::SniItemView> Read() {
    return Pumping([this] { return watcher.ReadItem(service); });
  }
};

TEST(SniTray, WithoutASessionBusThereIsNeverAHost) {
  const struct {
    const char* name;
    std::optional<std::string> address;
  } cases[] = {
      {"no address", std::nullopt},
      {"no daemon at the socket", "unix:path=/nonexistent/orvweb-test/bus"},
      {"an address that is no address", "nonsense"},
  };
  testing_support::TempDir runtime;  // no "bus" socket in it
  testing_support::ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime.path().string());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", c.address);
    const auto start = std::chrono::steady_clock::now();
    SniTray tray("orvweb", Picture);
    EXPECT_FALSE(tray.HostPresent());
    EXPECT_FALSE(tray.Add(kIdle, u"OrvWebRecorder"));
    EXPECT_FALSE(tray.IsShown());
    tray.Modify(kRecording, u"Record");
    tray.Remove();
    EXPECT_EQ(tray.ServiceName(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
}

TEST(SniTray, WithoutAWatcherNothingIsAdded) {
  TestBus bus;
  SniTray tray("orvweb", Picture);
  EXPECT_FALSE(tray.HostPresent());
  EXPECT_FALSE(tray.Add(kIdle, u"OrvWebRecorder"));
  EXPECT_FALSE(tray.IsShown());
  EXPECT_EQ(tray.ServiceName(), "");
}

TEST(SniTray, AddedItemIsRegisteredAndReadsBackAsGiven) {
  TestBus bus;
  Shown s;
  // Non-ASCII and a character outside the BMP cross as UTF-8.
  ASSERT_TRUE(s.Make(kRecording, u"Record 00:01:02 \u00e9t\u00e9 \U0001F3B5"));
  EXPECT_TRUE(s.tray->IsShown());
  EXPECT_EQ(s.service, s.tray->ServiceName());
  EXPECT_EQ(s.service.rfind("org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-", 0), 0u) << s.service;
  const auto view = s.Read();
  ASSERT_TRUE(view);
  EXPECT_EQ(view->id, "orvweb");
  EXPECT_EQ(view->status, "Active");
  EXPECT_EQ(view->iconName, "orvweb-recording");
  EXPECT_EQ(view->pixmaps, 2u);
  EXPECT_EQ(view->tipTitle, "Record 00:01:02 \xc3\xa9t\xc3\xa9 \xf0\x9f\x8e\xb5");
}

TEST(SniTray, ModifyChangesWhatTheHostReads) {
  const struct {
    const char* name;
    std::optional<int> icon;
    std::optional<std::u16string> tip;
    std::string iconName;
    std::string tipTitle;
    int newIcons;
  } cases[] = {
      {"icon", kRecording, std::nullopt, "orvweb-recording", "OrvWebRecorder", 1},
      {"tip", std::nullopt, u"Record 00:00:05", "orvweb-idle", "Record 00:00:05", 0},
      {"both", kRecording, u"Stopped", "orvweb-recording", "Stopped", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestBus bus;
    Shown s;
    ASSERT_TRUE(s.Make(kIdle, u"OrvWebRecorder"));
    s.tray->Modify(c.icon, c.tip);
    const auto view = s.Read();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->iconName, c.iconName);
    EXPECT_EQ(view->tipTitle, c.tipTitle);
    EXPECT_TRUE(PumpUntil([&] { return s.watcher.SignalCount("NewToolTip") == 1; }));
    EXPECT_EQ(s.watcher.SignalCount("NewIcon"), c.newIcons);
  }
}

TEST(SniTray, ModifyWhileNotShownIsIgnored) {
  TestBus bus;
  SniWatcher watcher;
  ASSERT_TRUE(watcher.Start());
  SniTray tray("orvweb", Picture);
  tray.Modify(kRecording, u"Before");
  EXPECT_FALSE(tray.IsShown());
  ASSERT_TRUE(tray.Add(kIdle, u"OrvWebRecorder"));
  const auto service = Pumping([&] { return watcher.WaitForItem(); });
  ASSERT_TRUE(service);
  const auto view = Pumping([&] { return watcher.ReadItem(*service); });
  ASSERT_TRUE(view);
  EXPECT_EQ(view->iconName, "orvweb-idle");
  EXPECT_EQ(view->tipTitle, "OrvWebRecorder");

  tray.Remove();
  EXPECT_TRUE(Pumping([&] { return watcher.WaitForNoItem(); }));
  tray.Modify(kRecording, u"After");
  EXPECT_FALSE(tray.IsShown());
  PumpFor(100);
  EXPECT_TRUE(watcher.Items().empty());
  EXPECT_EQ(watcher.SignalCount("NewIcon"), 0);
}

TEST(SniTray, TipIsCutToItsLongestWithoutSplittingACharacter) {
  TestBus bus;
  Shown s;
  // 62 letters and a surrogate pair: the pair would end past 63 units.
  ASSERT_TRUE(s.Make(kIdle, std::u16string(62, u'a') + u"\U0001F3B5"));
  const auto view = s.Read();
  ASSERT_TRUE(view);
  EXPECT_EQ(view->tipTitle, std::string(62, 'a'));
}

TEST(SniTray, ActivateRunsTheHandlerOnTheMainContext) {
  TestBus bus;
  Shown s;
  ASSERT_TRUE(s.Make(kIdle, u"OrvWebRecorder"));
  EXPECT_TRUE(Pumping([&] { return s.watcher.Activate(s.service, 10, 20); }));
  EXPECT_TRUE(PumpUntil([&] { return s.activated == 1; }));
  EXPECT_EQ(s.activatedOn, std::this_thread::get_id());
  EXPECT_TRUE(s.tray->IsShown());  // the owner decides what a click does
}

TEST(SniTray, OtherClicksDoNothing) {
  for (const char* method : {"SecondaryActivate", "ContextMenu"}) {
    SCOPED_TRACE(method);
    TestBus bus;
    Shown s;
    ASSERT_TRUE(s.Make(kIdle, u"OrvWebRecorder"));
    EXPECT_TRUE(Pumping([&] { return s.watcher.Click(s.service, method, 1, 1); }));
    PumpFor(200);
    EXPECT_EQ(s.activated, 0);
    EXPECT_EQ(s.hostGone, 0);
    EXPECT_TRUE(s.tray->IsShown());
  }
}

TEST(SniTray, HostLeavingTellsTheOwnerOnlyWhileShown) {
  for (const bool shown : {true, false}) {
    SCOPED_TRACE(shown ? "shown" : "removed first");
    TestBus bus;
    Shown s;
    ASSERT_TRUE(s.Make(kIdle, u"OrvWebRecorder"));
    if (!shown) s.tray->Remove();
    s.watcher.Stop();
    EXPECT_TRUE(PumpUntil([&] { return !s.tray->HostPresent(); }));
    PumpFor(200);
    EXPECT_EQ(s.hostGone, shown ? 1 : 0);
    EXPECT_FALSE(s.tray->IsShown());
    EXPECT_EQ(s.tray->ServiceName(), "");
    EXPECT_FALSE(s.tray->Add(kIdle, u"OrvWebRecorder"));
  }
}

TEST(SniTray, HostLeavingGivesTheItemsNameBack) {
  TestBus bus;
  Shown s;
  ASSERT_TRUE(s.Make(kIdle, u"OrvWebRecorder"));
  s.watcher.Stop();
  ASSERT_TRUE(PumpUntil([&] { return s.hostGone == 1; }));
  // A fresh host finds no stale item on the bus.
  g_autoptr(GDBusConnection) probe = g_dbus_connection_new_for_address_sync(
      std::getenv("DBUS_SESSION_BUS_ADDRESS"),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  ASSERT_TRUE(probe);
  EXPECT_TRUE(PumpUntil([&] {
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        probe, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", s.service.c_str()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
    gboolean has = TRUE;
    if (reply) g_variant_get(reply, "(b)", &has);
    return !has;
  }));
}

TEST(SniTray, RemoveDropsTheItemAndAnotherAddRegistersAgain) {
  TestBus bus;
  Shown s;
  ASSERT_TRUE(s.Make(kIdle, u"OrvWebRecorder"));
  s.tray->Remove();
  EXPECT_FALSE(s.tray->IsShown());
  EXPECT_TRUE(Pumping([&] { return s.watcher.WaitForNoItem(); }));
  // The removed item answers no clicks.
  EXPECT_FALSE(Pumping([&] { return s.watcher.Activate(s.service, 0, 0); }));
  ASSERT_TRUE(s.tray->Add(kRecording, u"Again"));
  const auto again = Pumping([&] { return s.watcher.WaitForItem(); });
  ASSERT_TRUE(again);
  EXPECT_NE(*again, s.service);
  const auto view = Pumping([&] { return s.watcher.ReadItem(*again); });
  ASSERT_TRUE(view);
  EXPECT_EQ(view->iconName, "orvweb-recording");
  EXPECT_EQ(s.activated, 0);
}

TEST(SniTray, WatcherArrivingLaterBecomesTheHost) {
  TestBus bus;
  SniTray tray("orvweb", Picture);
  EXPECT_FALSE(tray.HostPresent());
  SniWatcher watcher;
  ASSERT_TRUE(watcher.Start());
  EXPECT_TRUE(PumpUntil([&] { return tray.HostPresent(); }));
  EXPECT_FALSE(tray.IsShown());  // arriving shows nothing by itself
  EXPECT_TRUE(tray.Add(kIdle, u"OrvWebRecorder"));
  EXPECT_TRUE(Pumping([&] { return watcher.WaitForItem(); }));
}

std::string Png(bool alpha) {
  g_autoptr(GdkPixbuf) pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, 3, 2);
  // Top-left pixel: red 0x11, green 0x22, blue 0x33, alpha 0x80.
  gdk_pixbuf_fill(pixbuf, 0x00000000);
  guchar* px = gdk_pixbuf_get_pixels(pixbuf);
  px[0] = 0x11;
  px[1] = 0x22;
  px[2] = 0x33;
  if (alpha) px[3] = 0x80;
  gchar* buffer = nullptr;
  gsize size = 0;
  EXPECT_TRUE(gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr));
  std::string bytes(buffer, size);
  g_free(buffer);
  return bytes;
}

TEST(LoadTrayPicture, GivesArgbInNetworkOrderForEveryDecodableSize) {
  const struct {
    const char* name;
    bool alpha;
    uint8_t a;
  } cases[] = {{"with alpha", true, 0x80}, {"without alpha", false, 0xFF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto picture = platform::shell::LoadTrayPicture("orvweb-idle", {Png(c.alpha), "not a png", Png(c.alpha)});
    EXPECT_EQ(picture.iconName, "orvweb-idle");
    ASSERT_EQ(picture.pixmaps.size(), 2u);
    const auto& p = picture.pixmaps[0];
    EXPECT_EQ(p.width, 3);
    EXPECT_EQ(p.height, 2);
    ASSERT_EQ(p.argb.size(), 3u * 2u * 4u);
    EXPECT_EQ(std::vector<uint8_t>(p.argb.begin(), p.argb.begin() + 4), (std::vector<uint8_t>{c.a, 0x11, 0x22, 0x33}));
  }
}

}  // namespace
