// The MPRIS watcher against players of the test's own on a private bus: a
// flood of changes, a player that is read instead of heard, a slow one, one
// that leaves while asked, proxies and metadata of the wrong shape.
#include "platform/player/mpris.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "test_support.h"

namespace platform::player {
namespace {

constexpr const char* kIntrospection = R"(<node><interface name="org.mpris.MediaPlayer2.Player">
  <property name="Metadata" type="a{sv}" access="read"/>
  <property name="PlaybackStatus" type="s" access="read"/>
</interface></node>)";

class TestBus {
 public:
  TestBus() : daemon_(dir_.path() / "bus") { EXPECT_TRUE(daemon_.ready()) << "dbus-daemon did not start"; }
  std::string address() const { return daemon_.address(); }

 private:
  testing_support::TempDir dir_;
  testing_support::BusDaemon daemon_;
};

GDBusConnection* Connect(const std::string& address) {
  return g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
}

GVariant* Item(const char* title, const char* artist = nullptr) {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&b, "{sv}", "xesam:title", g_variant_new_string(title));
  if (artist) g_variant_builder_add(&b, "{sv}", "xesam:artist", g_variant_new_strv(&artist, 1));
  return g_variant_builder_end(&b);
}

// A player served from a thread of its own, so it can be slow without
// holding up the watcher. Its properties are set from the test thread.
class FakePlayer {
 public:
  // exported = false: the name is taken, the object comes with Export().
  FakePlayer(const std::string& address, const std::string& name, bool exported = true) : exported_(exported) {
    thread_ = std::thread([this, address, name] { Serve(address, name); });
    EXPECT_TRUE(testing_support::WaitUntil([&] { return ready_.load(); }, 10000));
  }
  ~FakePlayer() {
    if (loop_) g_main_loop_quit(loop_);
    thread_.join();
  }
  // Sets the properties; announces them unless quiet.
  void Set(GVariant* metadata, const char* status, bool announce = true) {
    {
      std::lock_guard lock(mutex_);
      if (metadata_) g_variant_unref(metadata_);
      metadata_ = g_variant_ref_sink(metadata);
      status_ = status;
    }
    if (!announce) return;
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&changed, "{sv}", "Metadata", metadata);
    g_variant_builder_add(&changed, "{sv}", "PlaybackStatus", g_variant_new_string(status));
    Emit(g_variant_new("(sa{sv}as)", "org.mpris.MediaPlayer2.Player", &changed, nullptr));
  }
  void Emit(GVariant* parameters) {
    g_dbus_connection_emit_signal(connection_, nullptr, "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Properties",
                                  "PropertiesChanged", parameters, nullptr);
  }
  void Export() {
    g_main_context_invoke(
        context_,
        [](gpointer self) {
          static_cast<FakePlayer*>(self)->Register();
          return G_SOURCE_REMOVE;
        },
        this);
    EXPECT_TRUE(testing_support::WaitUntil([&] { return registered_.load(); }, 10000));
  }
  std::atomic<bool> slow{false};       // answers hang until released
  std::atomic<bool> answering{false};  // inside an answer now
  void Leave() { g_dbus_connection_close_sync(connection_, nullptr, nullptr); }

 private:
  static GVariant* GetProperty(GDBusConnection*, const char*, const char*, const char*, const char* property, GError**,
                               gpointer self) {
    auto* player = static_cast<FakePlayer*>(self);
    player->answering = true;
    while (player->slow) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    player->answering = false;
    std::lock_guard lock(player->mutex_);
    if (std::string(property) == "Metadata") return player->metadata_ ? g_variant_ref(player->metadata_) : Item("");
    return g_variant_new_string(player->status_.c_str());
  }

  // On the player's own thread: its answers come there.
  void Register() {
    static const GDBusInterfaceVTable vtable{nullptr, &FakePlayer::GetProperty, nullptr, {}};
    g_dbus_connection_register_object(connection_, "/org/mpris/MediaPlayer2", node_->interfaces[0], &vtable, this,
                                      nullptr, nullptr);
    registered_ = true;
  }

  void Serve(const std::string& address, const std::string& name) {
    GMainContext* context = context_ = g_main_context_new();
    g_main_context_push_thread_default(context);
    connection_ = Connect(address);
    GDBusNodeInfo* node = node_ = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    if (exported_) Register();
    GVariant* owned = g_dbus_connection_call_sync(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "RequestName",
                                                  g_variant_new("(su)", name.c_str(), 0u), nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (owned) g_variant_unref(owned);
    loop_ = g_main_loop_new(context, FALSE);
    ready_ = true;
    g_main_loop_run(loop_);
    g_main_loop_unref(loop_);
    g_dbus_node_info_unref(node);
    g_object_unref(connection_);
    if (metadata_) g_variant_unref(metadata_);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  const bool exported_;
  GMainContext* context_ = nullptr;
  GDBusNodeInfo* node_ = nullptr;
  std::thread thread_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> registered_{false};
  GMainLoop* loop_ = nullptr;
  GDBusConnection* connection_ = nullptr;
  std::mutex mutex_;
  GVariant* metadata_ = nullptr;
  std::string status_ = "Stopped";
};

// The watcher on this thread's default context, pumped while waiting.
class WatcherTest : public testing::Test {
 protected:
  void SetUp() override {
    connection_ = Connect(bus_.address());
    ASSERT_TRUE(connection_);
    WatcherOptions options;
    options.pollMs = 100;
    options.log = [this](const std::string& line) { log_.push_back(line); };
    watcher_ = std::make_unique<MprisWatcher>(
        connection_, [this](const PlayerSnapshot& s) { published_.push_back(s); }, nullptr, options);
  }
  void TearDown() override {
    watcher_.reset();
    g_object_unref(connection_);
  }
  bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = 10000) {
    return testing_support::WaitUntil(
        [&] {
          while (g_main_context_iteration(nullptr, FALSE)) {
          }
          return cond();
        },
        timeoutMs);
  }
  bool Logged(const std::string& part) const {
    for (const auto& line : log_) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }
  std::u16string Title() const { return published_.empty() || !published_.back().media ? u"" : published_.back().media->title; }

  TestBus bus_;
  GDBusConnection* connection_ = nullptr;
  std::unique_ptr<MprisWatcher> watcher_;
  std::vector<PlayerSnapshot> published_;
  std::vector<std::string> log_;
};

TEST_F(WatcherTest, AFloodOfChangesMakesOneItemOnceItSettled) {
  const struct {
    const char* name;
    size_t mostItems;  // a player not known to send key by key: its first change goes out at once
  } players[] = {{"org.mpris.MediaPlayer2.chromium.instance9", 1}, {"org.mpris.MediaPlayer2.flood", 2}};
  for (const auto& p : players) {
    SCOPED_TRACE(p.name);
    FakePlayer player(bus_.address(), p.name);
    player.Set(Item("Warm up"), "Playing");
    ASSERT_TRUE(PumpUntil([&] { return Title() == u"Warm up"; }));
    published_.clear();
    // 100 changes at once, the last one key by key as Chromium sends them.
    for (int i = 1; i <= 100; ++i) player.Set(Item(("Song " + std::to_string(i)).c_str(), "Old Artist"), "Playing");
    player.Set(Item("Ann - Last", "Old Artist"), "Playing");
    player.Set(Item("Ann - Last", "Ann"), "Playing");
    ASSERT_TRUE(PumpUntil([&] { return Title() == u"Ann - Last"; }));
    PumpUntil([] { return false; }, 1000);  // anything further would have come by now
    EXPECT_LE(published_.size(), p.mostItems);
    EXPECT_EQ(published_.back().media->author, u"Ann");
    for (size_t i = 0; i + 1 < published_.size(); ++i) EXPECT_EQ(published_[i].media->title, u"Song 1");
  }
}

TEST_F(WatcherTest, AQuietPlayerIsReadAndASlowOneHoldsUpNobody) {
  FakePlayer vlc(bus_.address(), "org.mpris.MediaPlayer2.vlc.instance7");
  FakePlayer other(bus_.address(), "org.mpris.MediaPlayer2.other");
  FakePlayer proxy(bus_.address(), "org.mpris.MediaPlayer2.playerctld");
  proxy.Set(Item("Mirrored"), "Playing");
  vlc.Set(Item("First"), "Playing");
  ASSERT_TRUE(PumpUntil([&] { return Title() == u"First"; }));
  vlc.Set(Item("Second"), "Playing", /*announce=*/false);
  ASSERT_TRUE(PumpUntil([&] { return Title() == u"Second"; })) << "a player that does not announce is read";

  // VLC hangs in its answer; another player's news still goes out.
  vlc.slow = true;
  ASSERT_TRUE(PumpUntil([&] { return vlc.answering.load(); }));
  other.Set(Item("Other Song"), "Playing");
  EXPECT_TRUE(PumpUntil([&] { return Title() == u"Other Song"; }));
  EXPECT_TRUE(vlc.answering);

  // It leaves while asked: nothing of it stays, and the log says so.
  other.Set(Item("Other Song"), "Paused");
  vlc.Set(Item("Third"), "Playing", /*announce=*/false);
  vlc.Leave();
  vlc.slow = false;
  EXPECT_TRUE(PumpUntil([&] { return Logged("left before it sent"); }));
  PumpUntil([] { return false; }, 500);
  EXPECT_EQ(Title(), u"Other Song");
  for (const auto& s : published_) EXPECT_NE(s.media ? s.media->title : u"", u"Mirrored") << "a proxy was followed";
}

// Firefox takes its name before its object is there and announces its state
// only when it changes: the state it had then is read once it answers.
TEST_F(WatcherTest, APlayerReadBeforeItsObjectExistsIsReadAgain) {
  for (bool speaks : {true, false}) {
    SCOPED_TRACE(speaks ? "it announces an item" : "it stays quiet");
    published_.clear();
    log_.clear();
    FakePlayer player(bus_.address(), "org.mpris.MediaPlayer2.firefox.instance_1_" + std::to_string(speaks), false);
    ASSERT_TRUE(PumpUntil([&] { return Logged("could not read its properties"); }));
    player.Set(Item("Ann - First"), "Playing", /*announce=*/false);
    player.Export();
    if (speaks) {
      GVariantBuilder changed;
      g_variant_builder_init(&changed, G_VARIANT_TYPE_VARDICT);
      g_variant_builder_add(&changed, "{sv}", "Metadata", Item("Ann - First"));
      player.Emit(g_variant_new("(sa{sv}as)", "org.mpris.MediaPlayer2.Player", &changed, nullptr));
    }
    EXPECT_TRUE(PumpUntil([&] {
      return Title() == u"Ann - First" && published_.back().playState == wmppsPlaying;
    })) << "the state set before the object was there is never learned";
  }
}

TEST_F(WatcherTest, MetadataOfTheWrongShapeIsLoggedNeverFatal) {
  FakePlayer player(bus_.address(), "org.mpris.MediaPlayer2.odd");
  const std::string huge(100 * 1024, 'y');
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&b, "{sv}", "xesam:title", g_variant_new_string(huge.c_str()));
  g_variant_builder_add(&b, "{sv}", "xesam:artist", g_variant_new_int32(7));
  player.Set(g_variant_builder_end(&b), "Playing");
  ASSERT_TRUE(PumpUntil([&] { return Title().size() == kMaxItemText; }));
  EXPECT_EQ(published_.back().media->author, u"");
  EXPECT_TRUE(Logged("org.mpris.MediaPlayer2.odd: xesam:title is longer"));
  EXPECT_TRUE(Logged("xesam:artist has type i"));

  // A Metadata that is no dictionary and a state that is no text change nothing.
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&changed, "{sv}", "Metadata", g_variant_new_string("Ann - First"));
  g_variant_builder_add(&changed, "{sv}", "PlaybackStatus", g_variant_new_int32(3));
  player.Emit(g_variant_new("(sa{sv}as)", "org.mpris.MediaPlayer2.Player", &changed, nullptr));
  EXPECT_TRUE(PumpUntil([&] { return Logged("Metadata has type s") && Logged("PlaybackStatus"); }));
  EXPECT_EQ(Title().size(), kMaxItemText);
}

}  // namespace
}  // namespace platform::player
