#include "recorder/update/update_checker.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "platform/files/files.h"
#include "platform/ipc/ipc.h"
#include "platform/text/utf.h"
#include "recorder/core/messages.h"

namespace fs = std::filesystem;
using platform::ToUtf8;
using platform::files::NewFile;

namespace orvweb::update {
namespace {

constexpr char kUpdateDate[] = "Update Date";
constexpr char kCurrentVersion[] = "Current Version";
constexpr size_t kPageReadBytes = 10240;
constexpr int64_t kSecondsPerDay = 86400;

int64_t SystemNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

UpdateConfig RecorderUpdateConfig(std::u16string_view updateBase) {
  UpdateConfig config;
  config.productKey = u"orvWeb";
  config.checkInterval = 1;
  config.versionPageUrl = std::u16string(updateBase) + u"/update/orvWebVer.htm";
  config.currentVersion = 17;
  return config;
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::NotDue: return "NotDue";
    case Outcome::Busy: return "Busy";
    case Outcome::NoSession: return "NoSession";
    case Outcome::PageFailed: return "PageFailed";
    case Outcome::PageRejected: return "PageRejected";
    case Outcome::UpToDate: return "UpToDate";
    case Outcome::Declined: return "Declined";
    case Outcome::DownloadFailed: return "DownloadFailed";
    case Outcome::NoTempFile: return "NoTempFile";
    case Outcome::Unverified: return "Unverified";
    case Outcome::Cancelled: return "Cancelled";
    case Outcome::NoLibraryTarget: return "NoLibraryTarget";
    case Outcome::Staged: return "Staged";
    case Outcome::StageFailed: return "StageFailed";
    case Outcome::InstallerOpened: return "InstallerOpened";
    case Outcome::InstallerFailed: return "InstallerFailed";
    case Outcome::Error: return "Error";
  }
  return "?";
}

std::string UpdateChecker::RegistryKey() const {
  return "HKEY_CURRENT_USER\\Software\\Quillbyte\\Updater\\" + ToUtf8(config.productKey);
}

std::string UpdateChecker::LockName() const { return ToUtf8(config.productKey) + "UpdaterMutex"; }

std::string UpdateChecker::Agent() const {
  return ToUtf8(config.productKey) + " Updater v " + std::to_string(config.currentVersion);
}

fs::path UpdateChecker::StagedPath(const fs::path& target) {
  return target.parent_path() / ("." + target.filename().string() + ".update");
}

bool RunningCheck::Stop(std::chrono::milliseconds wait) {
  if (!thread_.joinable()) return true;
  state_->cancel = true;
  bool ended = false;
  {
    std::unique_lock lock(state_->mutex);
    ended = state_->ended.wait_for(lock, wait, [this] { return state_->done; });
  }
  if (ended) {
    thread_.join();
  } else {
    thread_.detach();  // it holds its own share of everything it touches
  }
  return ended;
}

std::unique_ptr<RunningCheck> UpdateChecker::StartUpdateCheck() {
  try {
    ApplyStagedLibrary();
    if (!IsUpdateDue()) {
      if (services_.finished) services_.finished(Outcome::NotDue);
      return nullptr;
    }
    // The thread owns a copy of everything it reads: the window that started
    // it may close, and this object with it, while the network is slow.
    auto checker = std::make_unique<UpdateChecker>(*this);
    std::unique_ptr<RunningCheck> running(new RunningCheck());
    running->thread_ = std::thread([checker = std::move(checker), state = running->state_]() mutable {
      auto finished = std::move(checker->services_.finished);
      Outcome outcome = Outcome::Error;
      try {
        outcome = checker->RunUpdateCheck(&state->cancel);
      } catch (...) {
        // Out of memory or the like: the check is abandoned quietly.
      }
      checker.reset();
      if (finished) finished(outcome);
      std::lock_guard lock(state->mutex);
      state->done = true;
      state->ended.notify_all();
    });
    return running;
  } catch (...) {
    // No thread could be made: no check this time.
    return nullptr;
  }
}

bool UpdateChecker::IsUpdateDue() {
  auto& registry = services_.registry;
  const std::string key = RegistryKey();
  if (!registry.CreateKey(key)) return false;

  // Only a 64-bit value counts; anything else reads as "never checked".
  int64_t last = 0;
  if (registry.TypeOf(key, kUpdateDate) == platform::registry::ValueType::Qword) {
    last = static_cast<int64_t>(registry.GetQword(key, kUpdateDate).value_or(0));
  }
  registry.SetDword(key, kCurrentVersion, static_cast<uint32_t>(config.currentVersion));

  const int64_t now = services_.now ? services_.now() : SystemNow();
  int64_t elapsed = 0;
  bool due = true;  // a difference beyond 64 bits is as good as "never"
  if (!__builtin_sub_overflow(now, last, &elapsed)) {
    const int64_t days = elapsed / kSecondsPerDay;
    // A date a whole interval or more in the future comes from a clock that
    // was wrong then; waiting for it would stop the checks for years.
    due = days >= config.checkInterval || (days < 0 && -days >= config.checkInterval);
  }
  if (!due) return false;
  registry.SetQword(key, kUpdateDate, static_cast<uint64_t>(now));
  return true;
}

Outcome UpdateChecker::RunUpdateCheck(const std::atomic<bool>* cancel) const {
  const auto cancelled = [cancel] { return cancel && cancel->load(); };
  platform::ipc::NamedLock lock(LockName());
  if (!lock.TryAcquire()) return Outcome::Busy;

  std::unique_ptr<platform::http::Client> session = services_.openSession ? services_.openSession() : nullptr;
  if (!session) return Outcome::NoSession;

  // The version page and the download both start a program in the end, so
  // both must come over verified https.
  platform::http::Options pageOptions;
  pageOptions.agent = Agent();
  pageOptions.schemes = platform::http::Schemes::HttpsOnly;
  pageOptions.connectTimeoutMs = 10000;
  pageOptions.totalTimeoutMs = 30000;
  pageOptions.maxBodyBytes = kPageReadBytes;
  pageOptions.cancel = cancel;

  std::string page;
  const platform::http::Result pageResult =
      session->Get(ToUtf8(config.versionPageUrl), pageOptions, [&page](const char* data, size_t size) {
        page.append(data, std::min(size, kMaxVersionPageBytes + 1 - page.size()));
        return page.size() <= kMaxVersionPageBytes;
      });
  if (cancelled()) return Outcome::Cancelled;
  if (page.size() > kMaxVersionPageBytes) return Outcome::PageRejected;
  // An error page is no version page, whatever its text says.
  if (!pageResult.ok() || pageResult.httpCode != 200) return Outcome::PageFailed;
  if (page.empty()) return Outcome::PageRejected;

  const std::optional<Offer> offer = ParseVersionPage(page, config.currentVersion);
  if (!offer) return Outcome::UpToDate;

  if (!offer->library) {
    if (!services_.ui || !services_.ui->AskYesNo(config.productKey, kUpdateQuestion)) return Outcome::Declined;
  }
  if (cancelled()) return Outcome::Cancelled;

  // The download is written beside where it ends up, so putting it in place
  // is one rename on one file system: an installer in the temporary folder,
  // a library beside its target.
  const fs::path libraryTarget = offer->library ? fs::path(ToUtf8(config.libraryTargetPath)) : fs::path();
  const fs::path folder = !libraryTarget.empty()        ? libraryTarget.parent_path()
                          : services_.tempFolder.empty() ? platform::files::TempFolder()
                                                         : services_.tempFolder;
  platform::http::Options fileOptions = pageOptions;
  fileOptions.totalTimeoutMs = 30 * 60 * 1000;
  fileOptions.maxBodyBytes = kMaxDownloadBytes;
  // An error page is never written anywhere: its body is not even taken.
  fileOptions.onlyStatus = 200;

  // The file is made when the first bytes of a 200 answer arrive, and it
  // keeps its temporary name until the transfer has completed; whatever
  // fails below removes it again.
  std::optional<NewFile> file;
  bool noTempFile = false, writeFailed = false;
  uint64_t received = 0;
  const platform::http::Result fileResult =
      session->Get(ToUtf8(offer->url), fileOptions, [&](const char* data, size_t size) {
        received += size;
        if (received > kMaxDownloadBytes) return false;
        if (!file) {
          file = NewFile::CreateUnique(folder, "upd");
          if (!file) {
            noTempFile = true;
            return false;
          }
        }
        if (!file->Write(data, size)) {
          writeFailed = true;
          return false;
        }
        return true;
      });
  if (cancelled()) return Outcome::Cancelled;  // what was written goes with `file`
  if (noTempFile) return Outcome::NoTempFile;
  if (!fileResult.ok() || fileResult.httpCode != 200 || writeFailed || received > kMaxDownloadBytes) {
    return Outcome::DownloadFailed;
  }
  if (!file) {
    file = NewFile::CreateUnique(folder, "upd");
    if (!file) return Outcome::NoTempFile;
  }
  if (!file->Close()) return Outcome::DownloadFailed;

  // The signature is checked against the bytes as they lie on the disk, the
  // very ones that are staged or opened below.
  std::string signature;
  bool signatureRead = false;
  if (!offer->signatureUrl.empty()) {
    platform::http::Options signatureOptions = fileOptions;
    signatureOptions.totalTimeoutMs = pageOptions.totalTimeoutMs;
    signatureOptions.maxBodyBytes = kMaxSignatureFileBytes;
    const platform::http::Result signatureResult =
        session->Get(ToUtf8(offer->signatureUrl), signatureOptions, [&signature](const char* data, size_t size) {
          signature.append(data, size);
          return true;
        });
    signatureRead = signatureResult.ok() && signatureResult.httpCode == 200;
  }
  session.reset();
  if (cancelled()) return Outcome::Cancelled;
  const std::optional<std::string> contents = platform::files::ReadWholeFile(file->path(), kMaxDownloadBytes);
  if (!signatureRead || !contents || !VerifySignature(config.signingKey, *contents, signature)) {
    file.reset();  // deleted before the user hears of it
    if (services_.ui) services_.ui->Tell(config.productKey, LoadMessage(IDS_UPDATE_NOT_VERIFIED));
    return Outcome::Unverified;
  }

  if (offer->library) {
    if (libraryTarget.empty()) return Outcome::NoLibraryTarget;
    platform::files::SetMode(file->path(), platform::files::Mode(libraryTarget).value_or(0644));
    if (!platform::files::MoveReplace(file->path(), StagedPath(libraryTarget))) return Outcome::StageFailed;
    file->Keep();
    return Outcome::Staged;
  }

  // The desktop's software installer takes the package by its extension.
  fs::path package = file->path();
  package += ".deb";
  if (!platform::files::RenameNoReplace(file->path(), package)) return Outcome::InstallerFailed;
  file->SetPath(package);
  if (cancelled()) return Outcome::Cancelled;
  if (!services_.ui || !services_.ui->OpenFile(package)) return Outcome::InstallerFailed;
  file->Keep();
  return Outcome::InstallerOpened;
}

bool UpdateChecker::ApplyStagedLibrary() const {
  if (config.libraryTargetPath.empty()) return true;
  const fs::path target(ToUtf8(config.libraryTargetPath));
  const fs::path staged = StagedPath(target);
  if (!platform::files::FileExists(staged)) return true;
  // A check that runs right now may be staging a newer file: next time.
  platform::ipc::NamedLock lock(LockName());
  if (!lock.TryAcquire()) return true;
  return platform::files::MoveReplace(staged, target);
}

}  // namespace orvweb::update
