#include "platform/player/mpris.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/text/utf.h"

namespace platform::player {
namespace {

constexpr const char* kPrefix = "org.mpris.MediaPlayer2";
constexpr const char* kPlayerPath = "/org/mpris/MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
constexpr int kPollReplyMs = 5000;
// A player whose object was not there yet is asked again this often, this
// many times in all; what it announces meanwhile asks at once.
constexpr int kRereadMs = 500;
constexpr int kMostReads = 20;

bool Cancelled(const GError* error) { return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED); }

// Timers on the thread-default context, where the watcher's calls answer.
GSource* StartTimer(int ms, GSourceFunc callback, gpointer data) {
  GSource* source = g_timeout_source_new(static_cast<guint>(ms));
  g_source_set_callback(source, callback, data, nullptr);
  g_source_attach(source, g_main_context_get_thread_default());
  return source;
}

void StopTimer(GSource*& source) {
  if (!source) return;
  g_source_destroy(source);
  g_source_unref(source);
  source = nullptr;
}

}  // namespace

std::optional<MediaInfo> MediaFromMetadata(GVariant* metadata) {
  const RawItem raw = ReadMetadata(metadata);
  if (!raw.any) return std::nullopt;
  return MediaInfo{raw.artist, raw.title, raw.url};
}

// An outstanding call; its callback touches the watcher only when the call
// was not cancelled (the watcher cancels everything when it goes).
struct MprisWatcher::Call {
  MprisWatcher* watcher;
  std::string name;
};

MprisWatcher::MprisWatcher(GDBusConnection* connection, OnChange onChange, OnPresence onPresence, Options options)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))),
      onChange_(std::move(onChange)),
      onPresence_(std::move(onPresence)),
      options_(std::move(options)),
      cancellable_(g_cancellable_new()) {
  if (!options_.log) {
    options_.log = [](const std::string& line) { std::fprintf(stderr, "mpris: %s\n", line.c_str()); };
  }
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
  StopTimer(settleTimer_);
  StopTimer(pollTimer_);
  StopTimer(rereadTimer_);
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
    if (!KindOfPlayer(name).follow) continue;
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
  if (!reply && Cancelled(error)) {
    g_error_free(error);
    return;
  }
  MprisWatcher* watcher = call->watcher;
  auto it = watcher->players_.find(call->name);
  if (it != watcher->players_.end()) {
    it->second.reading = false;
    it->second.read = reply != nullptr;
  }
  if (!reply) {
    watcher->CallFailed(call->name, "its properties", error);
    g_error_free(error);
    watcher->UpdateRereading();
    return;
  }
  GVariant* dict = g_variant_get_child_value(reply, 0);
  watcher->ApplyProperties(call->name, dict);
  g_variant_unref(dict);
  g_variant_unref(reply);
}

void MprisWatcher::OnPolled(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Call> call(static_cast<Call*>(data));
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (!reply && Cancelled(error)) {
    g_error_free(error);
    return;
  }
  MprisWatcher* watcher = call->watcher;
  auto it = watcher->players_.find(call->name);
  if (it != watcher->players_.end()) it->second.polling = false;
  if (!reply) {
    watcher->CallFailed(call->name, "its Metadata", error);
    g_error_free(error);
    return;
  }
  // The answer as PropertiesChanged would have carried it.
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "Metadata", value);
  GVariant* dict = g_variant_ref_sink(g_variant_builder_end(&builder));
  watcher->ApplyProperties(call->name, dict);
  g_variant_unref(dict);
  g_variant_unref(value);
  g_variant_unref(reply);
}

void MprisWatcher::OnNameOwnerChanged(GDBusConnection*, const char*, const char*, const char*, const char*,
                                      GVariant* parameters, gpointer self) {
  auto* watcher = static_cast<MprisWatcher*>(self);
  const gchar *name, *oldOwner, *newOwner;
  g_variant_get(parameters, "(&s&s&s)", &name, &oldOwner, &newOwner);
  if (!KindOfPlayer(name).follow) return;
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
  // A player heard from before it could be read has its object now: what it
  // did not announce (its state, often) is in the whole set.
  auto it = watcher->players_.find(sender);
  if (it != watcher->players_.end() && !it->second.read) watcher->ReadAll(sender, it->second);
}

void MprisWatcher::NameOwned(const std::string& name, const std::string& owner) {
  auto it = owners_.find(name);
  if (it != owners_.end() && it->second == owner) return;  // already known
  if (it != owners_.end()) NameLost(name);
  const bool first = owners_.empty();
  owners_[name] = owner;
  if (!players_.count(owner)) {
    Player& player = players_[owner];
    player.name = name;
    player.kind = KindOfPlayer(name);
    player.shaper = ItemShaper(player.kind.webPages);
  }
  tracker_.Appeared(owner);
  ReadAll(owner, players_[owner]);
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
  players_.erase(owner);
  tracker_.Vanished(owner);
  UpdatePolling();
  UpdateRereading();
  // Leaving is no metadata to settle: whoever follows hears of it at once.
  Publish();
}

void MprisWatcher::ReadAll(const std::string& owner, Player& player) {
  if (player.reading) return;
  player.reading = true;
  ++player.reads;
  g_dbus_connection_call(connection_, owner.c_str(), kPlayerPath, "org.freedesktop.DBus.Properties", "GetAll",
                         g_variant_new("(s)", kPlayerInterface), G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE, -1,
                         cancellable_, &MprisWatcher::OnGetAll, new Call{this, owner});
}

void MprisWatcher::UpdateRereading() {
  bool wanted = false;
  for (const auto& [owner, player] : players_) wanted = wanted || (!player.read && player.reads < kMostReads);
  if (wanted && !rereadTimer_) {
    rereadTimer_ = StartTimer(kRereadMs, &MprisWatcher::OnRereadTick, this);
  } else if (!wanted) {
    StopTimer(rereadTimer_);
  }
}

gboolean MprisWatcher::OnRereadTick(gpointer self) {
  auto* watcher = static_cast<MprisWatcher*>(self);
  for (auto& [owner, player] : watcher->players_) {
    if (!player.read && player.reads < kMostReads) watcher->ReadAll(owner, player);
  }
  watcher->UpdateRereading();
  return watcher->rereadTimer_ ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void MprisWatcher::CallFailed(const std::string& owner, const char* what, GError* error) {
  auto it = players_.find(owner);
  if (it == players_.end()) {
    options_.log("a player left before it sent " + std::string(what) + "; nothing of it is kept");
    return;
  }
  Report(it->second, "could not read " + std::string(what) + ": " + (error ? error->message : "no reason"));
}

void MprisWatcher::Report(Player& player, const std::string& problem) {
  // Once per player and problem: a player that repeats itself must not
  // flood the log.
  if (player.logged.size() >= 32 || !player.logged.insert(problem).second) return;
  options_.log(player.name + ": " + problem);
}

std::optional<MediaInfo> MprisWatcher::ShapeItem(Player& player) {
  const RawItem& raw = *player.raw;
  std::optional<std::u16string> streamName;
  if (IsStreamItem(raw) && !player.kind.webPages) {  // a page's address is no stream's
    const std::string url = ToUtf8(raw.url);
    auto known = streamNames_.find(url);
    if (known == streamNames_.end()) {
      LookUpStreamName(url);
    } else {
      streamName = known->second;
    }
  }
  return player.shaper.Shape(raw, streamName);
}

void MprisWatcher::ApplyProperties(const std::string& owner, GVariant* dict) {
  auto it = players_.find(owner);
  if (it == players_.end() || !g_variant_is_of_type(dict, G_VARIANT_TYPE_VARDICT)) return;
  Player& player = it->second;
  PlayerUpdate update;
  if (GVariant* metadata = g_variant_lookup_value(dict, "Metadata", nullptr)) {
    if (g_variant_is_of_type(metadata, G_VARIANT_TYPE_VARDICT)) {
      std::vector<std::string> problems;
      player.raw = ReadMetadata(metadata, &problems);
      for (const std::string& problem : problems) Report(player, problem);
      update.media = ShapeItem(player);
    } else {
      Report(player, std::string("Metadata has type ") + g_variant_get_type_string(metadata) + "; ignored");
    }
    g_variant_unref(metadata);
  }
  if (GVariant* status = g_variant_lookup_value(dict, "PlaybackStatus", nullptr)) {
    if (g_variant_is_of_type(status, G_VARIANT_TYPE_STRING)) {
      update.playState = PlayStateFromStatus(g_variant_get_string(status, nullptr));
    }
    if (!update.playState) Report(player, "PlaybackStatus is no known state; ignored");
    g_variant_unref(status);
  }
  if (!update.media && !update.playState) return;
  if (update.playState) player.playing = *update.playState == wmppsPlaying;
  tracker_.Changed(owner, update);
  UpdatePolling();
  Settle();
}

// ---- the stream's own name -------------------------------------------------------

namespace {

struct StreamNameJob {
  MprisWatcher::StreamNameLookup lookup;
  std::string url;
  std::optional<std::u16string> name;
};

void RunStreamNameJob(GTask* task, gpointer, gpointer data, GCancellable*) {
  auto* job = static_cast<StreamNameJob*>(data);
  try {
    job->name = job->lookup(job->url);
  } catch (...) {
    job->name.reset();  // no name is only a weaker guess, never a failure
  }
  g_task_return_boolean(task, TRUE);
}

}  // namespace

void MprisWatcher::LookUpStreamName(const std::string& url) {
  if (!options_.streamName || asking_.count(url)) return;
  if (streamNames_.size() > 256) streamNames_.clear();  // a player that hops through addresses
  asking_.insert(url);
  GTask* task = g_task_new(nullptr, cancellable_, &MprisWatcher::OnStreamNamed, this);
  g_task_set_task_data(task, new StreamNameJob{options_.streamName, url, std::nullopt},
                       [](gpointer data) { delete static_cast<StreamNameJob*>(data); });
  g_task_run_in_thread(task, &RunStreamNameJob);
  g_object_unref(task);
}

void MprisWatcher::OnStreamNamed(GObject*, GAsyncResult* result, gpointer self) {
  GTask* task = G_TASK(result);
  // The task keeps its cancellable: after the watcher went, this says so.
  if (g_cancellable_is_cancelled(g_task_get_cancellable(task))) return;
  auto* watcher = static_cast<MprisWatcher*>(self);
  auto* job = static_cast<StreamNameJob*>(g_task_get_task_data(task));
  watcher->asking_.erase(job->url);
  watcher->streamNames_[job->url] = job->name;
  for (auto& [owner, player] : watcher->players_) {
    if (!player.raw || ToUtf8(player.raw->url) != job->url) continue;
    PlayerUpdate update;
    update.media = watcher->ShapeItem(player);
    watcher->tracker_.Changed(owner, update);
  }
  watcher->Settle();
}

// Whether the followed player's item may still lose its station "artist":
// its stream's name is being asked for.
bool MprisWatcher::AwaitingStreamName() const {
  auto it = players_.find(tracker_.followed());
  if (it == players_.end() || !it->second.raw) return false;
  const RawItem& raw = *it->second.raw;
  return IsStreamItem(raw) && !raw.artist.empty() && asking_.count(ToUtf8(raw.url)) > 0;
}

// ---- reading players that do not announce their changes --------------------------

void MprisWatcher::UpdatePolling() {
  bool wanted = false;
  for (const auto& [owner, player] : players_) wanted = wanted || (player.kind.poll && player.playing);
  if (wanted && !pollTimer_) {
    pollTimer_ = StartTimer(options_.pollMs, &MprisWatcher::OnPollTick, this);
  } else if (!wanted) {
    StopTimer(pollTimer_);
  }
}

gboolean MprisWatcher::OnPollTick(gpointer self) {
  auto* watcher = static_cast<MprisWatcher*>(self);
  for (auto& [owner, player] : watcher->players_) {
    // One question at a time: a slow player is asked again only once it
    // answered, and never holds up the loop.
    if (!player.kind.poll || !player.playing || player.polling) continue;
    player.polling = true;
    g_dbus_connection_call(watcher->connection_, owner.c_str(), kPlayerPath, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", kPlayerInterface, "Metadata"), G_VARIANT_TYPE("(v)"),
                           G_DBUS_CALL_FLAGS_NONE, kPollReplyMs, watcher->cancellable_, &MprisWatcher::OnPolled,
                           new Call{watcher, owner});
  }
  return G_SOURCE_CONTINUE;
}

// ---- publishing settled items ------------------------------------------------------

bool MprisWatcher::FollowedSendsKeyByKey() const {
  auto it = players_.find(tracker_.followed());
  return it != players_.end() && it->second.kind.keyByKey;
}

void MprisWatcher::Settle() {
  const PlayerSnapshot now = tracker_.Current();
  const int64_t time = g_get_monotonic_time();
  if (!settleTimer_) {
    if (now == published_) return;
    // A lone change is news at once; one close behind another may be half
    // of an item, or part of a flood.
    const bool close = time - lastChange_ < static_cast<int64_t>(options_.settleMs) * 1000;
    lastChange_ = time;
    if (!close && !FollowedSendsKeyByKey() && !AwaitingStreamName()) {
      Publish();
      return;
    }
    settleSince_ = time;
  } else if (now == settling_) {
    return;  // re-sent as it was: no reason to wait longer
  } else if (time - settleSince_ >= static_cast<int64_t>(options_.maxSettleMs) * 1000) {
    settling_ = now;
    lastChange_ = time;
    return;  // changes without a pause: the running timer publishes what stands then
  } else {
    StopTimer(settleTimer_);
  }
  lastChange_ = time;
  settling_ = now;
  settleTimer_ = StartTimer(options_.settleMs, &MprisWatcher::OnSettled, this);
}

gboolean MprisWatcher::OnSettled(gpointer self) {
  auto* watcher = static_cast<MprisWatcher*>(self);
  StopTimer(watcher->settleTimer_);
  // The stream's name decides the first song's artist; its answer (bounded
  // by the lookup's own time-out) settles again.
  if (!watcher->AwaitingStreamName()) watcher->Publish();
  return G_SOURCE_REMOVE;
}

void MprisWatcher::Publish() {
  StopTimer(settleTimer_);
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
  while (!found && g_variant_iter_next(names, "&s", &name)) found = KindOfPlayer(name).follow;
  g_variant_iter_free(names);
  g_variant_unref(reply);
  return found;
}

}  // namespace platform::player
