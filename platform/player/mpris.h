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
#include "platform/player/tracker.h"

namespace platform::player {

// xesam:artist (a list, joined with ", "), xesam:title and xesam:url of an
// MPRIS Metadata dictionary; nullopt when it names no item at all.
std::optional<MediaInfo> MediaFromMetadata(GVariant* metadata);

class MprisWatcher {
 public:
  using OnChange = std::function<void(const PlayerSnapshot&)>;
  // Whether any MPRIS player is on the bus.
  using OnPresence = std::function<void(bool anyPlayer)>;

  // onChange runs whenever the followed player's snapshot changes. onPresence
  // runs when the first player appears (after its snapshot went out) and when
  // the last one leaves (before the empty snapshot goes out), so whoever
  // follows the players can still say a last word about the one that left.
  MprisWatcher(GDBusConnection* connection, OnChange onChange, OnPresence onPresence = {});
  ~MprisWatcher();
  MprisWatcher(const MprisWatcher&) = delete;
  MprisWatcher& operator=(const MprisWatcher&) = delete;

  PlayerSnapshot Current() const { return tracker_.Current(); }
  bool AnyPlayer() const { return !owners_.empty(); }

 private:
  struct Call;
  static void OnNameOwnerChanged(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
                                 gpointer);
  static void OnPropertiesChanged(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
                                  gpointer);
  static void OnListNames(GObject*, GAsyncResult*, gpointer);
  static void OnNameOwner(GObject*, GAsyncResult*, gpointer);
  static void OnGetAll(GObject*, GAsyncResult*, gpointer);

  void NameOwned(const std::string& name, const std::string& owner);
  void NameLost(const std::string& name);
  void ApplyProperties(const std::string& owner, GVariant* dict);
  void Publish();

  GDBusConnection* connection_;
  OnChange onChange_;
  OnPresence onPresence_;
  GCancellable* cancellable_;
  guint ownerSub_ = 0;
  guint propsSub_ = 0;
  std::map<std::string, std::string> owners_;  // well-known name -> unique name
  PlayerTracker tracker_;
  PlayerSnapshot published_;
};

}  // namespace platform::player
