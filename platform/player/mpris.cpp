#include "platform/player/mpris.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/text/utf.h"

namespace platform::player {
namespace {

constexpr const char* kPrefix = "org.mpris.MediaPlayer2";
constexpr const char* kPlayerPath = "/org/mpris/MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";

bool IsPlayerName(std::string_view name) {
  const std::string_view prefix = "org.mpris.MediaPlayer2.";
  return name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix;
}

std::u16string StringOf(GVariant* value) {
  if (!value) return {};
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) || g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH)) {
    return FromUtf8(g_variant_get_string(value, nullptr));
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
    gsize n = 0;
    const gchar** items = g_variant_get_strv(value, &n);
    std::string joined;
    for (gsize i = 0; i < n; ++i) {
      if (!joined.empty()) joined += ", ";
      joined += items[i];
    }
    g_free(items);
    return FromUtf8(joined);
  }
  return {};
}

}  // namespace

std::optional<MediaInfo> MediaFromMetadata(GVariant* metadata) {
  if (!metadata || !g_variant_is_of_type(metadata, G_VARIANT_TYPE_VARDICT)) return std::nullopt;
  GVariant* artist = g_variant_lookup_value(metadata, "xesam:artist", nullptr);
  GVariant* title = g_variant_lookup_value(metadata, "xesam:title", nullptr);
  GVariant* url = g_variant_lookup_value(metadata, "xesam:url", nullptr);
  std::optional<MediaInfo> info;
  if (artist || title || url) {
    info.emplace();
    info->author = StringOf(artist);
    info->title = StringOf(title);
    info->sourceUrl = StringOf(url);
  }
  for (GVariant* v : {artist, title, url}) {
    if (v) g_variant_unref(v);
  }
  return info;
}

// An outstanding call; its callback touches the watcher only when the call
// was not cancelled (the watcher cancels everything when it goes).
struct MprisWatcher::Call {
  MprisWatcher* watcher;
  std::string name;
};

MprisWatcher::MprisWatcher(GDBusConnection* connection, OnChange onChange, OnPresence onPresence)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))),
      onChange_(std::move(onChange)),
      onPresence_(std::move(onPresence)),
      cancellable_(g_cancellable_new()) {
  ownerSub_ = g_dbus_connection_signal_subscribe(
      connection_, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
      kPrefix, G_DBUS_SIGNAL_FLAGS_MATCH_ARG0_NAMESPACE, &MprisWatcher::OnNameOwnerChanged, this, nullptr);
  propsSub_ = g_dbus_connection_signal_subscribe(connection_, nullptr, "org.freedesktop.DBus.Properties",
                                                 "PropertiesChanged", kPlayerPath, kPlayerInterface,
                                                 G_DBUS_SIGNAL_FLAGS_NONE, &MprisWatcher::OnPropertiesChanged, this,
                                                 nullptr);
  g_dbus_connection_call(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "ListNames", nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, -1, cancellable_,
                         &MprisWatcher::OnListNames, new Call{this, {}});
}

MprisWatcher::~MprisWatcher() {
  g_cancellable_cancel(cancellable_);
  g_dbus_connection_signal_unsubscribe(connection_, ownerSub_);
  g_dbus_connection_signal_unsubscribe(connection_, propsSub_);
  g_object_unref(cancellable_);
  g_object_unref(connection_);
}

void MprisWatcher::OnListNames(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Call> call(static_cast<Call*>(data));
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (!reply) {
    g_error_free(error);  // cancelled, or the bus is gone: nothing to follow
    return;
  }
  GVariantIter* names = nullptr;
  g_variant_get(reply, "(as)", &names);
  const gchar* name;
  while (g_variant_iter_loop(names, "&s", &name)) {
    if (!IsPlayerName(name)) continue;
    g_dbus_connection_call(call->watcher->connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetNameOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(s)"),
                           G_DBUS_CALL_FLAGS_NONE, -1, call->watcher->cancellable_, &MprisWatcher::OnNameOwner,
                           new Call{call->watcher, name});
  }
  g_variant_iter_free(names);
  g_variant_unref(reply);
}

void MprisWatcher::OnNameOwner(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Call> call(static_cast<Call*>(data));
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (!reply) {
    g_error_free(error);  // cancelled, or the name went meanwhile
    return;
  }
  const gchar* owner = nullptr;
  g_variant_get(reply, "(&s)", &owner);
  call->watcher->NameOwned(call->name, owner);
  g_variant_unref(reply);
}

void MprisWatcher::OnGetAll(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Call> call(static_cast<Call*>(data));
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (!reply) {
    g_error_free(error);
    return;
  }
  GVariant* dict = g_variant_get_child_value(reply, 0);
  call->watcher->ApplyProperties(call->name, dict);
  g_variant_unref(dict);
  g_variant_unref(reply);
}

void MprisWatcher::OnNameOwnerChanged(GDBusConnection*, const char*, const char*, const char*, const char*,
                                      GVariant* parameters, gpointer self) {
  auto* watcher = static_cast<MprisWatcher*>(self);
  const gchar *name, *oldOwner, *newOwner;
  g_variant_get(parameters, "(&s&s&s)", &name, &oldOwner, &newOwner);
  if (!IsPlayerName(name)) return;
  if (oldOwner[0]) watcher->NameLost(name);
  if (newOwner[0]) watcher->NameOwned(name, newOwner);
}

void MprisWatcher::OnPropertiesChanged(GDBusConnection*, const char* sender, const char*, const char*, const char*,
                                       GVariant* parameters, gpointer self) {
  auto* watcher = static_cast<MprisWatcher*>(self);
  if (!sender || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) return;
  GVariant* changed = g_variant_get_child_value(parameters, 1);
  watcher->ApplyProperties(sender, changed);
  g_variant_unref(changed);
}

void MprisWatcher::NameOwned(const std::string& name, const std::string& owner) {
  auto it = owners_.find(name);
  if (it != owners_.end() && it->second == owner) return;  // already known
  if (it != owners_.end()) NameLost(name);
  const bool first = owners_.empty();
  owners_[name] = owner;
  tracker_.Appeared(owner);
  g_dbus_connection_call(connection_, owner.c_str(), kPlayerPath, "org.freedesktop.DBus.Properties", "GetAll",
                         g_variant_new("(s)", kPlayerInterface), G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE, -1,
                         cancellable_, &MprisWatcher::OnGetAll, new Call{this, owner});
  Publish();
  if (first && onPresence_) onPresence_(true);
}

void MprisWatcher::NameLost(const std::string& name) {
  auto it = owners_.find(name);
  if (it == owners_.end()) return;
  const std::string owner = it->second;
  owners_.erase(it);
  for (const auto& [other, otherOwner] : owners_) {
    if (otherOwner == owner) return;  // the player still answers under another name
  }
  if (owners_.empty() && onPresence_) onPresence_(false);
  tracker_.Vanished(owner);
  Publish();
}

void MprisWatcher::ApplyProperties(const std::string& owner, GVariant* dict) {
  bool known = false;
  for (const auto& [name, o] : owners_) known = known || o == owner;
  if (!known || !g_variant_is_of_type(dict, G_VARIANT_TYPE_VARDICT)) return;
  PlayerUpdate update;
  if (GVariant* metadata = g_variant_lookup_value(dict, "Metadata", G_VARIANT_TYPE_VARDICT)) {
    update.media = MediaFromMetadata(metadata);
    g_variant_unref(metadata);
  }
  const gchar* status = nullptr;
  if (g_variant_lookup(dict, "PlaybackStatus", "&s", &status)) update.playState = PlayStateFromStatus(status);
  if (!update.media && !update.playState) return;
  tracker_.Changed(owner, update);
  Publish();
}

void MprisWatcher::Publish() {
  const PlayerSnapshot now = tracker_.Current();
  if (now == published_) return;
  published_ = now;
  if (onChange_) onChange_(now);
}

// ---- FindPlayerWindow ----------------------------------------------------------

namespace {

// A private connection of our own: the shared session connection would end
// the process when the bus goes away.
std::mutex gFindMutex;
GDBusConnection* gFindConnection = nullptr;
std::string gFindAddress;

std::string SessionAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && address[0]) return address;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') {
    std::error_code ec;
    const std::filesystem::path bus = std::filesystem::path(runtime) / "bus";
    if (std::filesystem::exists(bus, ec)) return "unix:path=" + bus.string();
  }
  return {};  // no bus; never autolaunch one
}

}  // namespace

bool FindPlayerWindow() {
  std::lock_guard<std::mutex> lock(gFindMutex);
  const std::string address = SessionAddress();
  if (gFindConnection && (address != gFindAddress || g_dbus_connection_is_closed(gFindConnection))) {
    g_object_unref(gFindConnection);
    gFindConnection = nullptr;
  }
  if (address.empty()) return false;
  if (!gFindConnection) {
    GError* error = nullptr;
    gFindConnection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!gFindConnection) {
      g_error_free(error);
      return false;
    }
    gFindAddress = address;
  }
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(gFindConnection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "ListNames", nullptr, G_VARIANT_TYPE("(as)"),
                                                G_DBUS_CALL_FLAGS_NONE, 500, nullptr, &error);
  if (!reply) {
    g_error_free(error);
    return false;
  }
  bool found = false;
  GVariantIter* names = nullptr;
  g_variant_get(reply, "(as)", &names);
  const gchar* name;
  while (!found && g_variant_iter_next(names, "&s", &name)) found = IsPlayerName(name);
  g_variant_iter_free(names);
  g_variant_unref(reply);
  return found;
}

}  // namespace platform::player
