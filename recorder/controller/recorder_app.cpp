#include "recorder/controller/recorder_app.h"

#include <cstdio>

#include "platform/text/utf.h"
#include "recorder/core/messages.h"
#include "recorder/core/profile.h"
#include "recorder/core/settings.h"

namespace orvweb {

using platform::shell::MessageBoxButtons;
using platform::shell::MessageBoxIcon;
using platform::shell::MessageBoxResult;

COrvWebRecorderApp::COrvWebRecorderApp(AppServices services) : services_(std::move(services)) {}

bool COrvWebRecorderApp::InitInstance() {
  // Checked before anything is written, so a second instance leaves the
  // profile as the running one has it. The running one is not brought up.
  platform::ipc::FolderFailure failure;
  switch (instanceLock_.TryLock(&failure)) {
    case platform::ipc::LockAttempt::Acquired:
      break;
    case platform::ipc::LockAttempt::Held:
      if (services_.messageBox) {
        services_.messageBox->Show(LoadMessage(IDS_ALREADY_RUNNING), MessageBoxButtons::Ok, MessageBoxIcon::None);
      }
      return false;
    case platform::ipc::LockAttempt::Unavailable: {
      // Not "already running": nothing runs, and the user has to mend the
      // folder before any start can succeed.
      const std::string text = "The program cannot start: its single-instance lock cannot be created in the folder \"" +
                               failure.folder.string() + "\": " + failure.reason + ".";
      std::fprintf(stderr, "OrvWebRecorder: %s\n", text.c_str());
      if (services_.messageBox) {
        services_.messageBox->Show(platform::FromUtf8(text), MessageBoxButtons::Ok, MessageBoxIcon::Stop);
      }
      exitCode_ = kExitNoInstanceLock;
      return false;
    }
  }

  // Before anything can show the output format (the options page below).
  ProbeMp3EncoderAtStart();

  if (GetProfileInt(kKeyFirstRun, 1) != 0) {
    // Written first: a notice that fails is never sent again.
    WriteProfileInt(kKeyFirstRun, 0);
    if (services_.webNotice) services_.webNotice->Send(kNoticeFirstStart);
  }

  debugMode = GetProfileInt(kKeyDebugMode, 0);

  while (GetProfileString(kKeySourceName, u"").empty()) {
    const MessageBoxResult answer =
        services_.messageBox ? services_.messageBox->Show(LoadMessage(IDS_SET_PARAMETERS_FIRST),
                                                          MessageBoxButtons::OkCancel, MessageBoxIcon::Exclamation)
                             : MessageBoxResult::Cancel;
    if (answer != MessageBoxResult::Ok) return false;
    // Without an options page the source could never be set.
    if (!services_.optionsPage) return false;
    services_.optionsPage->RunModal(nullptr);
  }

  if (services_.runMainDialog) services_.runMainDialog(*this);
  return false;
}

}  // namespace orvweb
