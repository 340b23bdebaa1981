#include "platform/shell/sni_tray.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "platform/loop/glib_ptr.h"
#include "platform/text/utf.h"

namespace platform::shell {
namespace {

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kWatcherInterface = "org.kde.StatusNotifierWatcher";
// Every synchronous call runs on the window thread: a hung bus must not
// freeze the window for long.
constexpr int kCallTimeoutMs = 1000;

constexpr const char* kItemXml = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
</node>)xml";

using platform::GObjectPtr;
struct ContextUnref {
  void operator()(GMainContext* p) const { g_main_context_unref(p); }
};
struct NodeInfoUnref {
  void operator()(GDBusNodeInfo* p) const { g_dbus_node_info_unref(p); }
};
struct SourceUnref {
  void operator()(GSource* p) const {
    g_source_destroy(p);
    g_source_unref(p);
  }
};

// The session bus the desktop gave us. Without an address GLib would try to
// autolaunch a bus of its own, which no tray host would ever see.
std::string SessionBusAddress() {
  const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (env && env[0]) return env;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !runtime[0]) return {};
  const std::string path = std::string(runtime) + "/bus";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return {};
  g_autofree gchar* escaped = g_dbus_address_escape_value(path.c_str());
  return std::string("unix:path=") + escaped;
}

// A private connection (its closing never ends the process, unlike the
// shared one) made within timeoutMs. The object is made here so that its
// signals (the bus closing) arrive in the caller's context; only the
// handshake waits in a context of its own.
GObjectPtr<GDBusConnection> ConnectWithin(const std::string& address, int timeoutMs) {
  if (address.empty()) return nullptr;
  GObjectPtr<GDBusConnection> connection(G_DBUS_CONNECTION(g_object_new(
      G_TYPE_DBUS_CONNECTION, "address", address.c_str(), "flags",
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr)));
  std::unique_ptr<GMainContext, ContextUnref> context(g_main_context_new());
  g_main_context_push_thread_default(context.get());
  struct Pending {
    bool ok = false;
    bool done = false;
  } pending;
  GObjectPtr<GCancellable> cancellable(g_cancellable_new());
  g_async_initable_init_async(
      G_ASYNC_INITABLE(connection.get()), G_PRIORITY_DEFAULT, cancellable.get(),
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* p = static_cast<Pending*>(data);
        p->ok = g_async_initable_init_finish(G_ASYNC_INITABLE(source), result, nullptr);
        p->done = true;
      },
      &pending);
  {
    std::unique_ptr<GSource, SourceUnref> timer(g_timeout_source_new(timeoutMs));
    g_source_set_callback(
        timer.get(),
        [](gpointer c) -> gboolean {
          g_cancellable_cancel(G_CANCELLABLE(c));
          return G_SOURCE_REMOVE;
        },
        cancellable.get(), nullptr);
    g_source_attach(timer.get(), context.get());
    while (!pending.done) g_main_context_iteration(context.get(), TRUE);
  }
  g_main_context_pop_thread_default(context.get());
  if (!pending.ok) connection.reset();
  return connection;
}

GVariant* PixmapsVariant(const std::vector<TrayPixmap>& pixmaps) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
  for (const auto& p : pixmaps) {
    // A pixmap whose bytes do not fill its size would make hosts read past it.
    if (p.width <= 0 || p.height <= 0 ||
        p.argb.size() != static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * 4) {
      continue;
    }
    g_variant_builder_add(&builder, "(ii@ay)", p.width, p.height,
                          g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, p.argb.data(), p.argb.size(), 1));
  }
  return g_variant_builder_end(&builder);
}

// The tip as the bus carries it, never longer than a tip may be and never
// ending in half a surrogate pair.
std::string TipUtf8(std::u16string_view tip) {
  if (tip.size() > kTrayTipUnits) {
    size_t n = kTrayTipUnits;
    if (tip[n - 1] >= 0xD800 && tip[n - 1] <= 0xDBFF) --n;
    tip = tip.substr(0, n);
  }
  return ToUtf8(tip);
}

std::atomic<unsigned> g_itemCounter{0};

}  // namespace

struct SniTray::Impl : std::enable_shared_from_this<Impl> {
  Impl(std::string itemId, std::function<TrayPicture(int)> itemPictures)
      : id(std::move(itemId)),
        pictures(std::move(itemPictures)),
        context(g_main_context_ref_thread_default()),
        cancellable(g_cancellable_new()),
        node(g_dbus_node_info_new_for_xml(kItemXml, nullptr)) {}
  ~Impl() { Close(); }

  void Start() {
    connection = ConnectWithin(SessionBusAddress(), kCallTimeoutMs);
    if (!connection) return;
    SyncHostCheck();
    for (const char* signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"}) {
      const guint sub = g_dbus_connection_signal_subscribe(
          connection.get(), kWatcherName, kWatcherInterface, signal, kWatcherPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
          [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer data) {
            static_cast<Impl*>(data)->ReadHostRegistered();
          },
          this, nullptr);
      subscriptions.push_back(sub);
    }
    watchId = g_bus_watch_name_on_connection(connection.get(), kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                             &Impl::OnWatcherAppeared, &Impl::OnWatcherVanished, this, nullptr);
  }

  void Close() {
    Drop();
    activated = nullptr;
    hostGone = nullptr;
    if (!connection) return;
    g_cancellable_cancel(cancellable.get());
    if (watchId) g_bus_unwatch_name(watchId);
    watchId = 0;
    for (guint sub : subscriptions) g_dbus_connection_signal_unsubscribe(connection.get(), sub);
    subscriptions.clear();
    g_dbus_connection_close(connection.get(), nullptr, nullptr, nullptr);
    connection.reset();
  }

  bool HostPresent() const { return watcherOwned && hostRegistered; }
  bool Shown() const { return registrationId != 0; }

  // Right after construction the owner asks whether minimising may hide the
  // window; the asynchronous watch would answer too late.
  void SyncHostCheck() {
    g_autoptr(GVariant) owned = g_dbus_connection_call_sync(
        connection.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", kWatcherName), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr,
        nullptr);
    gboolean has = FALSE;
    if (owned) g_variant_get(owned, "(b)", &has);
    watcherOwned = has;
    if (!watcherOwned) return;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection.get(), kWatcherName, kWatcherPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kWatcherInterface, "IsStatusNotifierHostRegistered"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
    hostRegistered = HostRegisteredFrom(reply);
  }

  // A watcher that does not tell whether a host is there counts as having
  // one; a property that says "none" is believed.
  static bool HostRegisteredFrom(GVariant* reply) {
    if (!reply) return true;
    g_autoptr(GVariant) value = nullptr;
    g_variant_get(reply, "(v)", &value);
    if (!value || !g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) return true;
    return g_variant_get_boolean(value);
  }

  struct Weak {
    std::weak_ptr<Impl> impl;
  };

  void ReadHostRegistered() {
    if (!connection) return;
    g_dbus_connection_call(
        connection.get(), kWatcherName, kWatcherPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kWatcherInterface, "IsStatusNotifierHostRegistered"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, cancellable.get(),
        [](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<Weak> weak(static_cast<Weak*>(data));
          g_autoptr(GError) error = nullptr;
          g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
          if (!reply && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
          auto self = weak->impl.lock();
          if (!self || !self->watcherOwned) return;
          self->hostRegistered = HostRegisteredFrom(reply);
          if (!self->HostPresent()) self->LoseHost();
        },
        std::make_unique<Weak>(Weak{weak_from_this()}).release());
  }

  static void OnWatcherAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    // A watcher new to us is not trusted with a host until it says so.
    if (!self->watcherOwned) self->hostRegistered = false;
    self->watcherOwned = true;
    self->ReadHostRegistered();
  }

  static void OnWatcherVanished(GDBusConnection*, const gchar*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->watcherOwned = false;
    self->hostRegistered = false;
    self->LoseHost();
  }

  // Nobody shows the item any more: it stops counting as shown and the owner
  // hears of it once the current callback is over.
  void LoseHost() {
    if (!Shown()) return;
    Drop();
    Post([](Impl& self) {
      if (auto handler = self.hostGone) handler();
    });
  }

  void Post(void (*task)(Impl&), unsigned generation = 0) {
    struct Job {
      std::weak_ptr<Impl> impl;
      void (*task)(Impl&);
      unsigned generation;
    };
    std::unique_ptr<GSource, SourceUnref> source(g_idle_source_new());
    g_source_set_callback(
        source.get(),
        [](gpointer data) -> gboolean {
          auto* job = static_cast<Job*>(data);
          auto self = job->impl.lock();
          // A task of one Add's item is void once that item is gone.
          if (self && (job->generation == 0 || (self->Shown() && job->generation == self->generation))) {
            job->task(*self);
          }
          return G_SOURCE_REMOVE;
        },
        std::make_unique<Job>(Job{weak_from_this(), task, generation}).release(),
        [](gpointer data) { std::unique_ptr<Job> job(static_cast<Job*>(data)); });
    g_source_attach(source.get(), context.get());
    // The attached source lives on in the context until it has run.
    g_source_unref(source.release());
  }

  bool Add(int icon, std::u16string_view tip) {
    if (Shown()) {
      Modify(icon, std::u16string(tip));
      return true;
    }
    if (!connection || !HostPresent() || !node) return false;
    picture = pictures ? pictures(icon) : TrayPicture{};
    tipText = TipUtf8(tip);
    static const GDBusInterfaceVTable vtable = {&Impl::OnMethodCall, &Impl::OnGetProperty, nullptr, {}};
    registrationId = g_dbus_connection_register_object(connection.get(), kItemPath, node->interfaces[0], &vtable,
                                                       this, nullptr, nullptr);
    if (!registrationId) return false;
    const std::string name = "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-" +
                             std::to_string(g_itemCounter.fetch_add(1) + 1);
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", name.c_str(), 4u /* do not queue */), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
        kCallTimeoutMs, nullptr, nullptr);
    guint32 result = 0;
    if (reply) g_variant_get(reply, "(u)", &result);
    if (result != 1 /* primary owner */) {
      g_dbus_connection_unregister_object(connection.get(), registrationId);
      registrationId = 0;
      return false;
    }
    serviceName = name;
    ++generation;
    // The watcher's answer comes later; a refusal means nobody shows the
    // item, which the owner learns as the host being gone.
    struct Registration {
      std::weak_ptr<Impl> impl;
      unsigned generation;
    };
    g_dbus_connection_call(
        connection.get(), kWatcherName, kWatcherPath, kWatcherInterface, "RegisterStatusNotifierItem",
        g_variant_new("(s)", name.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, cancellable.get(),
        [](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<Registration> registration(static_cast<Registration*>(data));
          g_autoptr(GError) error = nullptr;
          g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
          if (reply || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
          auto self = registration->impl.lock();
          if (self && self->Shown() && self->generation == registration->generation) self->LoseHost();
        },
        std::make_unique<Registration>(Registration{weak_from_this(), generation}).release());
    return true;
  }

  void Modify(std::optional<int> icon, std::optional<std::u16string> tip) {
    if (!Shown()) return;
    if (icon) {
      picture = pictures ? pictures(*icon) : TrayPicture{};
      Emit("NewIcon");
    }
    if (tip) tipText = TipUtf8(*tip);
    // The tip carries the icon as well.
    if (icon || tip) Emit("NewToolTip");
  }

  void Emit(const char* signal) {
    g_dbus_connection_emit_signal(connection.get(), nullptr, kItemPath, kItemInterface, signal, nullptr, nullptr);
  }

  // Unexports the item and gives its name back; the watcher drops it when
  // the name goes.
  void Drop() {
    if (!Shown()) return;
    g_dbus_connection_unregister_object(connection.get(), registrationId);
    registrationId = 0;
    g_dbus_connection_call(connection.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "ReleaseName", g_variant_new("(s)", serviceName.c_str()), G_VARIANT_TYPE("(u)"),
                           G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr, nullptr);
    serviceName.clear();
  }

  static void OnMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                           GVariant*, GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    // The handler shows the window and removes this very item: it runs
    // after the call has been answered.
    if (g_str_equal(method, "Activate")) {
      self->Post(
          [](Impl& impl) {
            if (auto handler = impl.activated) handler();
          },
          self->generation);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  static GVariant* OnGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
                                 GError** error, gpointer data) {
    const auto* self = static_cast<Impl*>(data);
    const std::string_view p = property;
    if (p == "Category") return g_variant_new_string("ApplicationStatus");
    if (p == "Id" || p == "Title") return g_variant_new_string(self->id.c_str());
    if (p == "Status") return g_variant_new_string("Active");
    if (p == "WindowId") return g_variant_new_int32(0);
    if (p == "IconName") return g_variant_new_string(self->picture.iconName.c_str());
    if (p == "IconPixmap") return PixmapsVariant(self->picture.pixmaps);
    if (p == "OverlayIconName" || p == "AttentionIconName" || p == "AttentionMovieName") {
      return g_variant_new_string("");
    }
    if (p == "OverlayIconPixmap" || p == "AttentionIconPixmap") return PixmapsVariant({});
    if (p == "ToolTip") {
      return g_variant_new("(s@a(iiay)ss)", self->picture.iconName.c_str(), PixmapsVariant(self->picture.pixmaps),
                           self->tipText.c_str(), "");
    }
    if (p == "ItemIsMenu") return g_variant_new_boolean(FALSE);
    if (p == "Menu") return g_variant_new_object_path("/NO_DBUSMENU");
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", property);
    return nullptr;
  }

  std::string id;
  std::function<TrayPicture(int)> pictures;
  std::function<void()> activated;
  std::function<void()> hostGone;
  std::unique_ptr<GMainContext, ContextUnref> context;
  GObjectPtr<GCancellable> cancellable;
  std::unique_ptr<GDBusNodeInfo, NodeInfoUnref> node;
  GObjectPtr<GDBusConnection> connection;
  guint watchId = 0;
  std::vector<guint> subscriptions;
  bool watcherOwned = false;
  bool hostRegistered = false;
  // While shown: the exported object and the name it is served under. The
  // generation tells one Add's item from the next one's.
  guint registrationId = 0;
  std::string serviceName;
  unsigned generation = 0;
  TrayPicture picture;
  std::string tipText;
};

SniTray::SniTray(std::string id, std::function<TrayPicture(int icon)> pictures)
    : impl_(std::make_shared<Impl>(std::move(id), std::move(pictures))) {
  impl_->Start();
}

SniTray::~SniTray() { impl_->Close(); }

bool SniTray::IsShown() const { return impl_->Shown(); }

void SniTray::Modify(std::optional<int> icon, std::optional<std::u16string> tip) {
  impl_->Modify(icon, std::move(tip));
}

bool SniTray::HostPresent() const { return impl_->HostPresent(); }

bool SniTray::Add(int icon, std::u16string tip) { return impl_->Add(icon, tip); }

void SniTray::Remove() { impl_->Drop(); }

void SniTray::SetHandlers(std::function<void()> activated, std::function<void()> hostGone) {
  impl_->activated = std::move(activated);
  impl_->hostGone = std::move(hostGone);
}

std::string SniTray::ServiceName() const { return impl_->serviceName; }

TrayPicture LoadTrayPicture(std::string iconName, const std::vector<std::string>& pngs) {
  TrayPicture picture{std::move(iconName), {}};
  for (const auto& png : pngs) {
    GObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new_with_type("png", nullptr));
    if (!loader) continue;
    bool ok = gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(png.data()), png.size(), nullptr);
    // Closed even after a failed write: an unclosed loader complains when freed.
    ok = gdk_pixbuf_loader_close(loader.get(), nullptr) && ok;
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader.get()) : nullptr;  // owned by the loader
    if (!pixbuf || gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB ||
        gdk_pixbuf_get_bits_per_sample(pixbuf) != 8) {
      continue;
    }
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    if (channels != (alpha ? 4 : 3)) continue;
    TrayPixmap pixmap;
    pixmap.width = gdk_pixbuf_get_width(pixbuf);
    pixmap.height = gdk_pixbuf_get_height(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
    pixmap.argb.reserve(static_cast<size_t>(pixmap.width) * pixmap.height * 4);
    for (int y = 0; y < pixmap.height; ++y) {
      const guchar* row = pixels + static_cast<ptrdiff_t>(y) * stride;
      for (int x = 0; x < pixmap.width; ++x) {
        const guchar* px = row + x * channels;
        pixmap.argb.push_back(alpha ? px[3] : 0xFF);
        pixmap.argb.push_back(px[0]);
        pixmap.argb.push_back(px[1]);
        pixmap.argb.push_back(px[2]);
      }
    }
    picture.pixmaps.push_back(std::move(pixmap));
  }
  return picture;
}

}  // namespace platform::shell
