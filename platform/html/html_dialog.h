#pragma once
// An HTML dialog: a fixed-size GTK window whose whole client area is a web
// view. The page runs in another process, so nothing is read back from it
// synchronously: the binding script injected into every document reports
// the completed document (URL and which watched ids exist) and the page's
// events, each carrying the state of the watched elements at that moment;
// writes go through page() in order and never wait.
//
// Everything here runs on the GLib main context's thread (the window thread).
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/html/page.h"

typedef struct _GtkWindow GtkWindow;

namespace platform::html {

// The state of one watched element as the page had it when an event fired.
struct ElementState {
  std::u16string value;    // input, text area, select (the selected option's value)
  bool checked = false;    // check and radio inputs
  int selectedIndex = -1;  // select lists
};

struct PageEvent {
  enum class Kind { Click, Change, Help };
  Kind kind = Kind::Click;
  // The watched id the event belongs to (the element itself or the nearest
  // ancestor with a watched id); empty for the help key.
  std::string id;
  // Every watched element present in the document, by id.
  std::map<std::string, ElementState, std::less<>> elements;
};

struct DialogTemplate {
  std::u16string caption;
  // Client size in dialog units of an 8 pt dialog font at 96 DPI (scaled
  // with the monitor's scale factor).
  int widthDlu = 0;
  int heightDlu = 0;
  // Main window: minimise box, shown in the task bar. Options: neither.
  bool minimizeBox = false;
  // F1 anywhere on the page is reported as a Help event.
  bool helpKey = false;
  // Developer extras (web inspector) only in debug mode.
  bool debugMode = false;
  // The element ids whose clicks and changes are reported and whose state
  // travels with every event.
  std::vector<std::string> watchedIds;
  // Icon file names (PNG or SVG, several sizes) for the window; may be empty.
  std::vector<std::string> iconFiles;
  // Serves "res://<host>/<path>" documents (the program's built-in pages and
  // their images): fills bytes and the MIME type, false for an unknown path.
  // path is decoded and relative, without the host or a leading '/'
  // ("LoadingPage", "img/howl.gif").
  std::function<bool(const std::string& path, std::string& bytes, std::string& mimeType)> resources;
  // The resource shown by ShowLoadingPage, e.g. "res://orvweb/LoadingPage".
  std::string loadingPageUrl;
};

struct DialogHandlers {
  // A document finished loading; page().HasElement answers for it from now on.
  std::function<void(const std::string& url)> documentComplete;
  std::function<void(const PageEvent& event)> pageEvent;
  // The user closed the window (close button, Alt+F4, window menu). The
  // dialog stays until the owner calls EndModal or destroys it.
  std::function<void()> closeRequested;
  // The window was minimised (iconified) by the user.
  std::function<void()> minimized;
  // Whether anybody can see the window changed: shown, hidden, minimised,
  // restored, or (where the window system tells) fully covered or uncovered.
  std::function<void(bool seen)> seenChanged;
  // The web process died; the dialog has already reloaded its last page.
  std::function<void()> webProcessGone;
  // A link or new window left the UI pages (another origin); the view stays
  // where it is. Empty: the desktop's default handler opens http(s) and
  // mailto links.
  std::function<void(const std::string& uri)> externalLink;
};

class HtmlDialog {
 public:
  // owner: the dialog this one is modal to, or nullptr.
  HtmlDialog(DialogTemplate dialog, DialogHandlers handlers, HtmlDialog* owner = nullptr);
  ~HtmlDialog();
  HtmlDialog(const HtmlDialog&) = delete;
  HtmlDialog& operator=(const HtmlDialog&) = delete;

  // Writes to the current document. Before the first document completes
  // (and while a new one loads) writes are dropped: the owner binds the page
  // again on completion. HasElement answers for the watched ids.
  IPage& page();

  // The built-in loading page (res://orvweb/LoadingPage) and any other URL.
  void ShowLoadingPage();
  void Navigate(const std::string& url);

  // While suspended the window keeps showing what it showed last.
  void SetPaintingSuspended(bool suspended);

  void Show();
  void Hide();
  // Brings a hidden or minimised window back to the front.
  void Present();
  // Starts a window move as a press on the caption would (pointer position
  // and time of the current event).
  void BeginMove();

  // Shows the window and runs a nested main loop until EndModal; the owner
  // is insensitive meanwhile. Returns the value given to EndModal.
  int RunModal();
  void EndModal(int result);

  GtkWindow* window() const;

  // An entry of the window's menu (a menu button in the header bar, which
  // the window gets with its first entry; call before the window is shown).
  // label may mark its access key with '&' ("&&" is a plain '&').
  void AddMenuEntry(const std::u16string& label, std::function<void()> activate);
  // Where the page's (0, 0) is inside the window, in pixels.
  void ViewOrigin(int& x, int& y) const;

  // For tests: runs a script in the binding's script world (where the write
  // helpers live); done gets its result as a string.
  void EvaluateForTest(const std::string& script, std::function<void(const std::string& result)> done);
  // For tests: how many scripts the page writes have sent so far.
  size_t scriptsSent() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The window size in pixels for a size in dialog units at the given scale.
struct PixelSize {
  int width;
  int height;
};
PixelSize DialogUnitsToPixels(int widthDlu, int heightDlu, int scale = 1);

}  // namespace platform::html
