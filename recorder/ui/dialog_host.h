#pragma once
// The window an HTML page binding drives, seen through the few operations
// the binding needs. The real host is an HtmlDialog; tests use a fake that
// records the calls and plays documents and events into the handlers.
#include <functional>
#include <memory>
#include <string>

#include "platform/html/html_dialog.h"
#include "platform/html/page.h"

namespace orvweb::ui {

class IDialogHost {
 public:
  virtual ~IDialogHost() = default;
  virtual platform::html::IPage& page() = 0;
  virtual void ShowLoadingPage() = 0;
  virtual void Navigate(const std::string& url) = 0;
  virtual void SetPaintingSuspended(bool suspended) = 0;
  virtual void Hide() = 0;
  // Shows a hidden or minimised window again, in front.
  virtual void Present() = 0;
  // An entry of the window's menu; label marks its access key with '&'.
  virtual void AddMenuEntry(const std::u16string& label, std::function<void()> activate) = 0;
  // Shows the window and returns the value given to EndModal.
  virtual int RunModal() = 0;
  virtual void EndModal(int result) = 0;
  // The real dialog behind the host, for owning other windows; nullptr in tests.
  virtual platform::html::HtmlDialog* dialog() { return nullptr; }
};

// Makes the window of one dialog run. owner: the host it is modal to, or nullptr.
using DialogHostFactory = std::function<std::unique_ptr<IDialogHost>(
    platform::html::DialogTemplate dialog, platform::html::DialogHandlers handlers, IDialogHost* owner)>;

// The lower-cased URL tests of both load sequences.
std::string AsciiLower(std::string text);
inline bool IsResourceUrl(const std::string& url) { return AsciiLower(url).find("res://") != std::string::npos; }
// Whether a completed document is the given page: its URL contains the page's URL, case ignored.
bool IsPageUrl(const std::string& url, const std::string& pageUrl);

// Built-in pages are served under this host.
inline constexpr char kLoadingPageUrl[] = "res://orvweb/LoadingPage";

}  // namespace orvweb::ui
