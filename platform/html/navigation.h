#pragma once
// Where a dialog's view may go by itself: its built-in pages, the origin of
// the page it was sent to (and of the redirects of that load) and, for a
// page on disk, files in the same folder. Everything else leaves the window.
#include <string>
#include <vector>

namespace platform::html {

class NavigationRules {
 public:
  // The owner sent the view to url: it becomes the only home.
  void SetHome(const std::string& url);
  // The server redirected that load: the new origin is home too.
  void AddRedirect(const std::string& url);
  bool StaysInView(const std::string& url) const;

 private:
  std::vector<std::string> homes_;
};

// The scheme of a URI, lower-cased; empty when it has none.
std::string UriScheme(const std::string& uri);

}  // namespace platform::html
