// Owns the tray watcher on the session bus (with a host registered), prints
// "ready", then each item that registers as "item <service>", and runs until
// SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <set>
#include <string>

#include <unistd.h>

#include "sni_watcher.h"

int main() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  // Blocked before the watcher's thread exists, so only sigtimedwait sees them.
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  testing_support::SniWatcher watcher;
  if (!watcher.Start()) {
    std::fprintf(stderr, "tray_host: the watcher's name could not be had\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::set<std::string> told;
  const timespec tick{0, 200 * 1000 * 1000};
  while (sigtimedwait(&stop, nullptr, &tick) < 0) {
    for (const std::string& item : watcher.Items()) {
      if (told.insert(item).second) {
        std::printf("item %s\n", item.c_str());
        std::fflush(stdout);
      }
    }
  }
  watcher.Stop();
  return 0;
}
