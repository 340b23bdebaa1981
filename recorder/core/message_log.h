#pragma once
// The message log of the main window: every status message becomes a line
// "HH:MM:SS message" on top of the page's "Log" text area and, in debug mode,
// the sole content of orv.log in the user's state folder. The newest
// kLogLines lines are kept, here and on the page; each message sends only its
// own line. Logging never fails towards its caller.
#include <cstddef>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/html/page.h"
#include "recorder/core/format.h"

namespace orvweb {

inline constexpr std::string_view kLogElement = "Log";
// A recorder left running for days would otherwise grow its log without end.
inline constexpr size_t kLogLines = 500;

class MessageLog {
 public:
  explicit MessageLog(bool debugMode = false) : debugMode_(debugMode) {}
  MessageLog(const MessageLog&) = delete;
  MessageLog& operator=(const MessageLog&) = delete;

  // Binds the page's "Log" text area and clears it. E_FAIL when the page has
  // no such element; the log then writes only the file.
  platform::HRESULT Bind(platform::html::IPage* page);
  // After this no line reaches the page (the page is going away).
  void Unbind();

  // printf-style message (FormatText conventions).
  void WriteLog(std::u16string_view format, std::initializer_list<FormatArg> args = {});
  // The text of a message-table id, formatted with args; the result is
  // logged as it is, never used as a format again.
  void WriteLogId(int id, std::initializer_list<FormatArg> args = {});
  // A finished text, shown exactly as given ("%" included).
  void WriteLogText(std::u16string_view text);

  void SetDebugMode(bool debugMode);
  // What the "Log" text area shows: the newest kLogLines lines, newest first.
  std::u16string Contents() const;

  // orv.log in $XDG_STATE_HOME, else in ~/.local/state.
  static std::filesystem::path LogFilePath();

 private:
  // Serialises every write, the file included.
  mutable std::mutex logLock;
  platform::html::IPage* page_ = nullptr;
  std::u16string contents_;
  bool debugMode_;
};

}  // namespace orvweb
