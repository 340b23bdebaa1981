#pragma once
// The life of the recorder process: one instance per user, the first-run
// notice, the debug switch, the demand for an audio source, and the modal
// run of the main window. There is no message loop of the application's own:
// InitInstance runs the main window and then reports that the program is
// not to go on, so the process ends.
#include <functional>
#include <string_view>

#include "platform/ipc/ipc.h"
#include "platform/shell/message_box.h"
#include "recorder/controller/options_page.h"
#include "recorder/core/web_notice.h"

namespace orvweb {

// The name of the lock that keeps a second instance out.
inline constexpr std::string_view kInstanceLockName = "OrvWebRecorder.exe";

class COrvWebRecorderApp;

struct AppServices {
  platform::shell::IMessageBox* messageBox = nullptr;
  IOptionsPage* optionsPage = nullptr;
  IWebNotice* webNotice = nullptr;
  // Builds the main window and runs it modally; returns when it has closed.
  std::function<void(COrvWebRecorderApp&)> runMainDialog;
};

class COrvWebRecorderApp {
 public:
  explicit COrvWebRecorderApp(AppServices services);
  COrvWebRecorderApp(const COrvWebRecorderApp&) = delete;
  COrvWebRecorderApp& operator=(const COrvWebRecorderApp&) = delete;

  // Always false: the process ends once this returns.
  bool InitInstance();

  // What the process should exit with once InitInstance has returned: 0, or
  // kExitNoInstanceLock when the single-instance lock could not be made at
  // all (a second instance is no failure and exits with 0).
  int exitCode() const { return exitCode_; }
  static constexpr int kExitNoInstanceLock = 1;

  // "DebugMode" as read at start-up; the message log follows it.
  int debugMode = 0;

 private:
  AppServices services_;
  int exitCode_ = 0;
  // Held until the process ends; the kernel drops it with the process.
  platform::ipc::NamedLock instanceLock_{kInstanceLockName};
};

}  // namespace orvweb
