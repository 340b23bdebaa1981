#pragma once
// A tray watcher of the tests' own: it owns org.kde.StatusNotifierWatcher on
// the session bus named by DBUS_SESSION_BUS_ADDRESS, records the items that
// register, and reads and clicks them as a tray host would. It serves the
// bus from a thread of its own, so its calls may block the caller; an item
// served by the calling thread's main context must be pumped meanwhile.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// What a tray host shows of an item.
struct SniItemView {
  std::string id;
  std::string status;
  std::string iconName;
  size_t pixmaps = 0;  // sizes in IconPixmap
  std::string tipTitle;
};

class SniWatcher {
 public:
  SniWatcher();
  ~SniWatcher();
  SniWatcher(const SniWatcher&) = delete;
  SniWatcher& operator=(const SniWatcher&) = delete;

  // Owns the watcher's name; false when the bus or the name is not had
  // within timeoutMs.
  bool Start(int timeoutMs = 5000);
  // Gives the name up and leaves the bus: the host is gone for every item.
  void Stop();

  // Service names of the registered items, in registration order.
  std::vector<std::string> Items() const;
  // The first registered item once there is one.
  std::optional<std::string> WaitForItem(int timeoutMs = 5000) const;
  bool WaitForNoItem(int timeoutMs = 5000) const;
  // How often an item emitted the signal (NewIcon, NewToolTip, ...).
  int SignalCount(const std::string& signal) const;

  std::optional<SniItemView> ReadItem(const std::string& service, int timeoutMs = 5000) const;
  // Calls one of the item's (ii) methods: Activate, SecondaryActivate,
  // ContextMenu; false when the call failed.
  bool Click(const std::string& service, const std::string& method, int x, int y, int timeoutMs = 5000) const;
  bool Activate(const std::string& service, int x, int y) const { return Click(service, "Activate", x, y); }

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace testing_support
