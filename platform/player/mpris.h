#pragma once
// Watches the MPRIS players on a D-Bus connection and reports what the
// followed one is doing. Runs on the thread-default GLib main context of the
// thread that starts it; every callback comes on that thread.
#include <gio/gio.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/player/find_player.h"
#include "platform/player/quirks.h"
#include "platform/player/tracker.h"

namespace platform::player {

// xesam:artist (a list, joined with ", "), xesam:title and xesam:url of an
// MPRIS Metadata dictionary, as they stand; nullopt when it names no item at
// all. The watcher reads items through the player quirks instead.
std::optional<MediaInfo> MediaFromMetadata(GVariant* metadata);

struct WatcherOptions {
  // The name a stream gives itself (its icy-name), asked once per address on
  // a worker thread: it may block, briefly.
  using StreamNameLookup = std::function<std::optional<std::u16string>(const std::string& url)>;
  using Log = std::function<void(const std::string& line)>;

  StreamNameLookup streamName;  // none: stations are known from the items only
  Log log;                      // none: standard error
  // Changes that come within settleMs of each other make one item,
  // published once nothing changed for that long, and at the latest after
  // maxSettleMs of changes without a pause. A change after a quiet spell goes
  // out at once, except from players that send an item key by key.
  int settleMs = 300;
  int maxSettleMs = 1500;
  int pollMs = 1000;  // reading players that do not announce their changes
};

class MprisWatcher {
 public:
  using OnChange = std::function<void(const PlayerSnapshot&)>;
  // Whether any MPRIS player is on the bus.
  using OnPresence = std::function<void(bool anyPlayer)>;
  using StreamNameLookup = WatcherOptions::StreamNameLookup;
  using Options = WatcherOptions;

  // onChange runs whenever the followed player's snapshot changes. onPresence
  // runs when the first player appears (after its snapshot went out) and when
  // the last one leaves (before the empty snapshot goes out), so whoever
  // follows the players can still say a last word about the one that left.
  MprisWatcher(GDBusConnection* connection, OnChange onChange, OnPresence onPresence = {}, Options options = {});
  ~MprisWatcher();
  MprisWatcher(const MprisWatcher&) = delete;
  MprisWatcher& operator=(const MprisWatcher&) = delete;

  PlayerSnapshot Current() const { return tracker_.Current(); }
  bool AnyPlayer() const { return !owners_.empty(); }

 private:
  struct Call;
  struct Player {
    std::string name;  // the well-known name
    PlayerKind kind;
    ItemShaper shaper;
    std::optional<RawItem> raw;  // the last metadata, shaped again when a stream names itself
    bool playing = false;
    bool polling = false;           // a Get(Metadata) is under way
    // GetAll answered. A player may take its name before its object is
    // there (Firefox does); until read, it is asked again.
    bool read = false;
    bool reading = false;  // a GetAll is under way
    int reads = 0;         // GetAlls asked
    std::set<std::string> logged;  // problems reported once each
  };
  static void OnNameOwnerChanged(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
                                 gpointer);
  static void OnPropertiesChanged(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
                                  gpointer);
  static void OnListNames(GObject*, GAsyncResult*, gpointer);
  static void OnNameOwner(GObject*, GAsyncResult*, gpointer);
  static void OnGetAll(GObject*, GAsyncResult*, gpointer);
  static void OnPolled(GObject*, GAsyncResult*, gpointer);
  static void OnStreamNamed(GObject*, GAsyncResult*, gpointer);
  static gboolean OnSettled(gpointer);
  static gboolean OnPollTick(gpointer);
  static gboolean OnRereadTick(gpointer);

  void NameOwned(const std::string& name, const std::string& owner);
  void NameLost(const std::string& name);
  void ReadAll(const std::string& owner, Player& player);
  void UpdateRereading();
  void ApplyProperties(const std::string& owner, GVariant* dict);
  std::optional<MediaInfo> ShapeItem(Player& player);
  void CallFailed(const std::string& owner, const char* what, GError* error);
  void Report(Player& player, const std::string& problem);
  void LookUpStreamName(const std::string& url);
  bool AwaitingStreamName() const;
  bool FollowedSendsKeyByKey() const;
  void UpdatePolling();
  void Settle();
  void Publish();

  GDBusConnection* connection_;
  OnChange onChange_;
  OnPresence onPresence_;
  Options options_;
  GCancellable* cancellable_;
  guint ownerSub_ = 0;
  guint propsSub_ = 0;
  GSource* settleTimer_ = nullptr;  // on the watcher's context, not the global one
  GSource* pollTimer_ = nullptr;
  GSource* rereadTimer_ = nullptr;
  int64_t settleSince_ = 0;  // monotonic µs of the first change not yet published
  int64_t lastChange_ = INT64_MIN / 2;  // monotonic µs of the last change of what is followed
  std::map<std::string, std::string> owners_;  // well-known name -> unique name
  std::map<std::string, Player> players_;      // unique name -> what we know of it
  // Stream address -> its icy-name; nullopt while asked or when it has none.
  std::map<std::string, std::optional<std::u16string>> streamNames_;
  std::set<std::string> asking_;
  PlayerTracker tracker_;
  PlayerSnapshot published_;
  PlayerSnapshot settling_;  // what the running settle timer waits on
};

}  // namespace platform::player
