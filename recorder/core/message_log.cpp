#include "recorder/core/message_log.h"

#include <ctime>

#include "platform/files/files.h"
#include "platform/shell/folders.h"
#include "platform/text/utf.h"
#include "recorder/core/messages.h"

namespace orvweb {
namespace {

// "%X " of the local time, fixed to 24-hour HH:MM:SS whatever the locale.
std::u16string TimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char buffer[16] = "";
  if (::localtime_r(&now, &local)) std::strftime(buffer, sizeof buffer, "%H:%M:%S ", &local);
  return platform::FromUtf8(buffer);
}

}  // namespace

std::filesystem::path MessageLog::LogFilePath() { return platform::shell::StateFolder() / "orv.log"; }

platform::HRESULT MessageLog::Bind(platform::html::IPage* page) {
  std::lock_guard lock(logLock);
  if (!page || !page->HasElement(kLogElement)) {
    page_ = nullptr;
    return platform::E_FAIL;
  }
  page_ = page;
  contents_.clear();
  page_->SetValue(kLogElement, contents_);
  return platform::S_OK;
}

void MessageLog::Unbind() {
  std::lock_guard lock(logLock);
  page_ = nullptr;
}

void MessageLog::SetDebugMode(bool debugMode) {
  std::lock_guard lock(logLock);
  debugMode_ = debugMode;
}

std::u16string MessageLog::Contents() const {
  std::lock_guard lock(logLock);
  return contents_;
}

void MessageLog::WriteLog(std::u16string_view format, std::initializer_list<FormatArg> args) {
  WriteLogText(FormatText(format, args));
}

void MessageLog::WriteLogId(int id, std::initializer_list<FormatArg> args) {
  WriteLogText(FormatText(LoadMessage(id), args));
}

void MessageLog::WriteLogText(std::u16string_view text) {
  std::lock_guard lock(logLock);
  if (page_) {
    std::u16string line = TimeStamp();
    line.append(text);
    line += u'\n';
    contents_.insert(0, line);
    contents_.resize(platform::html::FirstLines(contents_, kLogLines).size());
    page_->Prepend(kLogElement, line, kLogLines);
  }
  if (debugMode_) {
    const std::filesystem::path path = LogFilePath();
    // The state folder is the user's alone (it also holds the crash marker).
    platform::files::CreatePrivateFolders(path.parent_path());
    // The file holds only the latest message, without time or line feed.
    platform::files::ReplaceContents(path, platform::ToUtf8(text));
  }
}

}  // namespace orvweb
