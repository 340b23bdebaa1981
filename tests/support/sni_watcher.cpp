#include "sni_watcher.h"

#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <thread>

namespace testing_support {
namespace {

constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kWatcherInterface = "org.kde.StatusNotifierWatcher";
constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";

constexpr const char* kWatcherXml = R"(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg name="service" type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg name="service" type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>)";

struct ObjectUnref {
  void operator()(gpointer p) const { g_object_unref(p); }
};
using ConnectionPtr = std::unique_ptr<GDBusConnection, ObjectUnref>;
struct ContextUnref {
  void operator()(GMainContext* p) const { g_main_context_unref(p); }
};
struct LoopUnref {
  void operator()(GMainLoop* p) const { g_main_loop_unref(p); }
};
struct NodeInfoUnref {
  void operator()(GDBusNodeInfo* p) const { g_dbus_node_info_unref(p); }
};

}  // namespace

struct SniWatcher::State {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::string> items;
  std::map<std::string, int> signals;
  ConnectionPtr connection;  // while serving; callers' calls go through it
  std::unique_ptr<GMainContext, ContextUnref> context;
  std::unique_ptr<GMainLoop, LoopUnref> loop;
  std::thread thread;

  // Touched on the watcher's thread only.
  std::map<std::string, guint> watches;

  ConnectionPtr Connection() const {
    std::lock_guard lock(mutex);
    return ConnectionPtr(connection ? G_DBUS_CONNECTION(g_object_ref(connection.get())) : nullptr);
  }

  void Serve(std::promise<bool> ready) {
    g_main_context_push_thread_default(context.get());
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    ConnectionPtr bus(address && address[0]
                          ? g_dbus_connection_new_for_address_sync(
                                address,
                                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                nullptr, nullptr, nullptr)
                          : nullptr);
    std::unique_ptr<GDBusNodeInfo, NodeInfoUnref> node(g_dbus_node_info_new_for_xml(kWatcherXml, nullptr));
    guint registration = 0;
    guint subscription = 0;
    bool owned = false;
    if (bus && node) {
      static const GDBusInterfaceVTable vtable = {&State::OnMethodCall, &State::OnGetProperty, nullptr, {}};
      registration =
          g_dbus_connection_register_object(bus.get(), kWatcherPath, node->interfaces[0], &vtable, this, nullptr, nullptr);
      subscription = g_dbus_connection_signal_subscribe(
          bus.get(), nullptr, kItemInterface, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
          [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal, GVariant*, gpointer data) {
            auto* self = static_cast<State*>(data);
            std::lock_guard lock(self->mutex);
            ++self->signals[signal];
            self->changed.notify_all();
          },
          this, nullptr);
      g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
          bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
          g_variant_new("(su)", kWatcherName, 4u /* do not queue */), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
          5000, nullptr, nullptr);
      guint32 result = 0;
      if (reply) g_variant_get(reply, "(u)", &result);
      owned = registration && result == 1;
    }
    if (owned) {
      std::lock_guard lock(mutex);
      connection.reset(G_DBUS_CONNECTION(g_object_ref(bus.get())));
    }
    ready.set_value(owned);
    if (owned) g_main_loop_run(loop.get());

    for (const auto& [service, watch] : watches) g_bus_unwatch_name(watch);
    watches.clear();
    if (bus) {
      if (subscription) g_dbus_connection_signal_unsubscribe(bus.get(), subscription);
      if (registration) g_dbus_connection_unregister_object(bus.get(), registration);
      {
        std::lock_guard lock(mutex);
        connection.reset();
        items.clear();
        changed.notify_all();
      }
      // Leaving the bus gives the name up at once: every item sees its host go.
      g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
    }
    // Whatever GDBus still queued for this context goes before the context.
    while (g_main_context_iteration(context.get(), FALSE)) {
    }
    g_main_context_pop_thread_default(context.get());
  }

  void Emit(GDBusConnection* bus, const char* signal, const std::string& service) {
    g_dbus_connection_emit_signal(bus, nullptr, kWatcherPath, kWatcherInterface, signal,
                                  g_variant_new("(s)", service.c_str()), nullptr);
  }

  static void OnMethodCall(GDBusConnection* bus, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                           GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<State*>(data);
    if (g_str_equal(method, "RegisterStatusNotifierItem")) {
      const gchar* arg = nullptr;
      g_variant_get(parameters, "(&s)", &arg);
      // An item may name its object path instead; then its connection is the service.
      const std::string service = arg[0] == '/' ? std::string(sender ? sender : "") : std::string(arg);
      {
        std::lock_guard lock(self->mutex);
        if (std::find(self->items.begin(), self->items.end(), service) == self->items.end()) {
          self->items.push_back(service);
        }
        self->changed.notify_all();
      }
      if (!self->watches.count(service)) {
        self->watches[service] = g_bus_watch_name_on_connection(bus, service.c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE,
                                                                nullptr, &State::OnItemVanished, self, nullptr);
      }
      self->Emit(bus, "StatusNotifierItemRegistered", service);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  static void OnItemVanished(GDBusConnection* bus, const gchar* name, gpointer data) {
    auto* self = static_cast<State*>(data);
    bool dropped = false;
    {
      std::lock_guard lock(self->mutex);
      const auto it = std::find(self->items.begin(), self->items.end(), name);
      if (it != self->items.end()) {
        self->items.erase(it);
        dropped = true;
      }
      self->changed.notify_all();
    }
    if (dropped && bus) self->Emit(bus, "StatusNotifierItemUnregistered", name);
  }

  static GVariant* OnGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
                                 GError** error, gpointer data) {
    auto* self = static_cast<State*>(data);
    const std::string_view p = property;
    if (p == "RegisteredStatusNotifierItems") {
      GVariantBuilder builder;
      g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
      std::lock_guard lock(self->mutex);
      for (const auto& item : self->items) g_variant_builder_add(&builder, "s", item.c_str());
      return g_variant_builder_end(&builder);
    }
    if (p == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(TRUE);
    if (p == "ProtocolVersion") return g_variant_new_int32(0);
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", property);
    return nullptr;
  }
};

SniWatcher::SniWatcher() : state_(std::make_unique<State>()) {}

SniWatcher::~SniWatcher() { Stop(); }

bool SniWatcher::Start(int timeoutMs) {
  if (state_->thread.joinable()) return state_->Connection() != nullptr;
  state_->context.reset(g_main_context_new());
  state_->loop.reset(g_main_loop_new(state_->context.get(), FALSE));
  std::promise<bool> ready;
  auto started = ready.get_future();
  state_->thread = std::thread([state = state_.get(), ready = std::move(ready)]() mutable {
    state->Serve(std::move(ready));
  });
  if (started.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) return false;
  return started.get();
}

void SniWatcher::Stop() {
  if (!state_->thread.joinable()) return;
  // Quitting through the context: a quit before the loop runs would be lost.
  GSource* quit = g_idle_source_new();
  g_source_set_callback(
      quit,
      [](gpointer loop) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      state_->loop.get(), nullptr);
  g_source_attach(quit, state_->context.get());
  g_source_unref(quit);
  state_->thread.join();
  state_->loop.reset();
  state_->context.reset();
}

std::vector<std::string> SniWatcher::Items() const {
  std::lock_guard lock(state_->mutex);
  return state_->items;
}

std::optional<std::string> SniWatcher::WaitForItem(int timeoutMs) const {
  std::unique_lock lock(state_->mutex);
  if (!state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !state_->items.empty(); })) {
    return std::nullopt;
  }
  return state_->items.front();
}

bool SniWatcher::WaitForNoItem(int timeoutMs) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return state_->items.empty(); });
}

int SniWatcher::SignalCount(const std::string& signal) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->signals.find(signal);
  return it == state_->signals.end() ? 0 : it->second;
}

std::optional<SniItemView> SniWatcher::ReadItem(const std::string& service, int timeoutMs) const {
  const auto bus = state_->Connection();
  if (!bus) return std::nullopt;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus.get(), service.c_str(), kItemPath, "org.freedesktop.DBus.Properties", "GetAll",
      g_variant_new("(s)", kItemInterface), G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr,
      nullptr);
  if (!reply) return std::nullopt;
  g_autoptr(GVariant) props = g_variant_get_child_value(reply, 0);
  SniItemView view;
  const auto text = [&](const char* name) {
    g_autoptr(GVariant) value = g_variant_lookup_value(props, name, G_VARIANT_TYPE_STRING);
    return value ? std::string(g_variant_get_string(value, nullptr)) : std::string();
  };
  view.id = text("Id");
  view.status = text("Status");
  view.iconName = text("IconName");
  if (g_autoptr(GVariant) pixmaps = g_variant_lookup_value(props, "IconPixmap", G_VARIANT_TYPE("a(iiay)"))) {
    view.pixmaps = g_variant_n_children(pixmaps);
  }
  if (g_autoptr(GVariant) tip = g_variant_lookup_value(props, "ToolTip", G_VARIANT_TYPE("(sa(iiay)ss)"))) {
    g_autoptr(GVariant) title = g_variant_get_child_value(tip, 2);
    view.tipTitle = g_variant_get_string(title, nullptr);
  }
  return view;
}

bool SniWatcher::Click(const std::string& service, const std::string& method, int x, int y, int timeoutMs) const {
  const auto bus = state_->Connection();
  if (!bus) return false;
  g_autoptr(GVariant) reply =
      g_dbus_connection_call_sync(bus.get(), service.c_str(), kItemPath, kItemInterface, method.c_str(),
                                  g_variant_new("(ii)", x, y), nullptr, G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, nullptr);
  return reply != nullptr;
}

}  // namespace testing_support
