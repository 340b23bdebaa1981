#pragma once
// The daily update check. Once per check interval the program asks the
// update server's version page whether a newer build exists; a newer
// installer (on Linux the DEB package) is offered to the user, downloaded
// into the temporary folder and handed to the desktop's opener; a newer
// library is downloaded without asking and staged to replace the configured
// library file at the next start of the program. Nothing downloaded is kept,
// staged or opened before its detached Ed25519 signature checks against the
// key of the configuration; a download that fails the check is deleted and
// the user told.
//
// The checker knows nothing of the rest of the program: the main window sets
// the configuration, hands in the desktop services (a Yes/No question, a
// notice and "open this file") and calls StartUpdateCheck once. The
// bookkeeping runs on the caller's thread, the network work on a thread of
// its own, which the caller ends (bounded) when the program exits. Every
// other failure is silent and is not retried before the next due time.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/http/http.h"
#include "platform/registry/registry.h"
#include "recorder/update/signature.h"
#include "recorder/update/version_page.h"

namespace orvweb::update {

struct UpdateConfig {
  std::u16string productKey;         // names the registry key, the lock, the agent and the question
  int32_t checkInterval = 1;         // days
  std::u16string versionPageUrl;     // https only
  std::u16string libraryTargetPath;  // the file a library download replaces; empty: none
  int32_t currentVersion = 0;
  // The key every download must be signed with. Set in code only: the
  // program's is the release key, tests build a configuration with their own.
  PublicKey signingKey = ReleaseKey();
};

// The recorder's configuration; updateBase is the update server's base
// address without a trailing "/".
UpdateConfig RecorderUpdateConfig(std::u16string_view updateBase);

// The desktop services of a check. Both are called on the update thread; an
// adapter whose toolkit lives on the window thread hands the call over and
// waits for it there.
class UpdateUi {
 public:
  virtual ~UpdateUi() = default;
  // A Yes/No question with an information icon; true only for Yes.
  virtual bool AskYesNo(const std::u16string& caption, const std::u16string& text) = 0;
  // Opens the file the way the desktop opens a document ("open"), without
  // waiting for the program that handles it.
  virtual bool OpenFile(const std::filesystem::path& file) = 0;
  // A notice with an exclamation icon and OK.
  virtual void Tell(const std::u16string& caption, const std::u16string& text) = 0;
};

// How one check ended. The program never looks at it; tests and the
// finished hook do.
enum class Outcome {
  NotDue,           // StartUpdateCheck only: the interval has not passed
  Busy,             // another check of the product key runs (in any process)
  NoSession,        // no HTTP session could be opened
  PageFailed,       // the version page did not arrive whole with status 200
  PageRejected,     // empty or longer than 1000 bytes
  UpToDate,         // or the page names no download address
  Declined,         // the user did not answer Yes
  DownloadFailed,   // not status 200, broken off, too large, or not written whole
  NoTempFile,       // no temporary file could be made
  Unverified,       // no signature, or one that does not check: deleted, the user told
  NoLibraryTarget,  // a library with no target path: nothing replaced
  Staged,           // a library waits beside its target for the next start
  StageFailed,
  InstallerOpened,  // the ".deb" file was made and handed to the desktop
  InstallerFailed,  // the ".deb" file could not be made or opened
  Cancelled,        // the program ended the check; its download was removed
  Error,            // an unexpected failure such as memory running out
};

const char* OutcomeName(Outcome outcome);

struct UpdateServices {
  // The per-user store that holds "Update Date" and "Current Version".
  platform::registry::Store registry;
  // Seconds since 1970-01-01 UTC; empty: the system clock.
  std::function<int64_t()> now;
  // One HTTP session per check; nullptr when none can be had.
  std::function<std::unique_ptr<platform::http::Client>()> openSession;
  // The temporary folder; empty: the platform's, looked up at check time.
  std::filesystem::path tempFolder;
  std::shared_ptr<UpdateUi> ui;
  // Told once per StartUpdateCheck how it ended: as the check thread's last
  // act, or on the caller's thread when no check was due. Empty in the program.
  std::function<void(Outcome)> finished;
};

// The machine's services: the default store, the system clock, the libcurl
// client and the platform's temporary folder, with the given desktop ui.
UpdateServices RealUpdateServices(std::shared_ptr<UpdateUi> ui);

inline constexpr uint64_t kMaxDownloadBytes = uint64_t{256} << 20;
inline constexpr char16_t kUpdateQuestion[] =
    u"There is a new version is available.\nWould you like to download it?";
// How long ending a running check waits for its thread.
inline constexpr std::chrono::milliseconds kCheckStopWait{3000};

// A check running on its thread. Ending it cancels the transfer in
// progress, whose file is removed, and waits a bounded time for the thread;
// one that is still caught (say, in a question the window can no longer
// answer) is left to end with the process, touching nothing of the caller's.
class RunningCheck {
 public:
  ~RunningCheck() { Stop(); }
  RunningCheck(const RunningCheck&) = delete;
  RunningCheck& operator=(const RunningCheck&) = delete;
  // True when the thread has ended (now or before).
  bool Stop(std::chrono::milliseconds wait = kCheckStopWait);

 private:
  friend class UpdateChecker;
  struct State {
    std::atomic<bool> cancel{false};
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
  };
  RunningCheck() = default;
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::thread thread_;
};

class UpdateChecker {
 public:
  explicit UpdateChecker(UpdateServices services) : services_(std::move(services)) {}

  // Set before StartUpdateCheck and not changed afterwards.
  UpdateConfig config;

  // Finishes a library replacement staged by an earlier run, then starts a
  // check on a thread of its own when one is due (nullptr when none was).
  // Returns at once; the thread works on copies, so this object may go away
  // while it runs. The check ends with the handle.
  [[nodiscard]] std::unique_ptr<RunningCheck> StartUpdateCheck();

  // Writes "Current Version"; true (and "Update Date" = now) when the last
  // check lies at least the interval back or was never recorded.
  bool IsUpdateDue();

  // The body of the check thread, run here on the caller's thread; cancel,
  // when set from another thread, ends it early (Outcome::Cancelled).
  Outcome RunUpdateCheck(const std::atomic<bool>* cancel = nullptr) const;

  // Moves a library staged by an earlier check onto the target path. Skipped
  // while a check of the product key runs; false when something was staged
  // but could not be moved.
  bool ApplyStagedLibrary() const;

  std::string RegistryKey() const;
  std::string LockName() const;
  std::string Agent() const;
  // Where a downloaded library waits for the next start: a hidden file beside
  // the target, so the final move is one rename on one file system.
  static std::filesystem::path StagedPath(const std::filesystem::path& target);

 private:
  UpdateServices services_;
};

}  // namespace orvweb::update
