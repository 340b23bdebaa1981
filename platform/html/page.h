#pragma once
// The page of an HTML window as the program's logic sees it: elements found
// by id. The real page runs in another process, so the logic never reads the
// document synchronously: writes are ordered and fire-and-forget, each one
// looks its element up when it is applied and does nothing when the element
// is missing; values the logic needs travel with the page's events; which
// ids exist is reported once the document has loaded.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform::html {

// The first keepLines lines of text (each ending in '\n'); all of it for 0.
std::u16string_view FirstLines(std::u16string_view text, size_t keepLines);

struct SelectOption {
  std::u16string text;
  std::u16string value;
};

class IPage {
 public:
  virtual ~IPage() = default;

  // Whether the loaded document has an element with this id.
  virtual bool HasElement(std::string_view id) const = 0;

  virtual void SetText(std::string_view id, std::u16string_view text) = 0;
  virtual void SetInnerHtml(std::string_view id, std::u16string_view html) = 0;
  // The value of an input, text area or select.
  virtual void SetValue(std::string_view id, std::u16string_view value) = 0;
  virtual void SetChecked(std::string_view id, bool checked) = 0;
  virtual void SetDisabled(std::string_view id, bool disabled) = 0;
  // One property of the element's inline style, e.g. ("visibility", u"hidden").
  virtual void SetStyle(std::string_view id, std::string_view property, std::u16string_view value) = 0;
  // Replaces a select's options; selected is an index or -1 for none.
  virtual void SetOptions(std::string_view id, const std::vector<SelectOption>& options, int selected) = 0;
  // Puts text in front of a text area's value and keeps only its first
  // keepLines lines (each ending in '\n'); 0 keeps everything. A log sends
  // only its new line this way, never the whole text again.
  virtual void Prepend(std::string_view id, std::u16string_view text, size_t keepLines) = 0;
  // The writes between these two may reach the page as one message.
  virtual void BeginBatch() {}
  virtual void EndBatch() {}
};

}  // namespace platform::html
