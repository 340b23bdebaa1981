#pragma once
// The page of a web view as seen from C++: every write becomes a small script
// for the binding's script world, sent in call order without waiting. Two
// writes are cheaper than that: style writes (the gauge, many per second)
// wait for the next frame and only the last value per element and property
// is sent; a value write that only puts new text in front of the previous
// one (the log) sends just the new text.
#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/html/page.h"

namespace platform::html {

// s as a JavaScript string literal (JSON-compatible, non-ASCII as \u escapes,
// so lone surrogates and U+2028 cannot break the script).
std::string JsString(std::u16string_view s);
std::string JsString(std::string_view ascii);

class ScriptPage : public IPage {
 public:
  using Send = std::function<void(const std::string& script)>;
  // requestFrame: call Frame() soon (once per display frame at most).
  ScriptPage(Send send, std::function<void()> requestFrame);

  // A document completed with these watched ids present; writes go to it.
  void Bind(std::vector<std::string> presentIds);
  // The document went away: writes are dropped until the next Bind.
  void Unbind();
  bool bound() const { return bound_; }

  // Sends the style writes held for this frame.
  void Frame();
  bool framePending() const { return !pendingStyles_.empty(); }

  bool HasElement(std::string_view id) const override;
  void SetText(std::string_view id, std::u16string_view text) override;
  void SetInnerHtml(std::string_view id, std::u16string_view html) override;
  void SetValue(std::string_view id, std::u16string_view value) override;
  void SetChecked(std::string_view id, bool checked) override;
  void SetDisabled(std::string_view id, bool disabled) override;
  void SetStyle(std::string_view id, std::string_view property, std::u16string_view value) override;
  void SetOptions(std::string_view id, const std::vector<SelectOption>& options, int selected) override;
  void Prepend(std::string_view id, std::u16string_view text, size_t keepLines) override;
  void BeginBatch() override;
  void EndBatch() override;

 private:
  void Write(std::string_view id, const std::string& call);
  void SendScript(const std::string& script);
  void FlushStylesOf(std::string_view id);

  Send send_;
  std::function<void()> requestFrame_;
  bool bound_ = false;
  std::set<std::string, std::less<>> present_;
  // What the last value write since Bind put into each element.
  std::map<std::string, std::u16string, std::less<>> lastValue_;
  // Held style writes in first-write order: (id, property) -> value.
  std::vector<std::pair<std::pair<std::string, std::string>, std::u16string>> pendingStyles_;
  // Scripts of an open batch, sent as one when it ends.
  int batchDepth_ = 0;
  std::string batch_;
};

// A bare number for a length property gets "px": a page in standards mode
// ignores a unitless width.
std::u16string CssValue(std::string_view property, std::u16string_view value);

}  // namespace platform::html
