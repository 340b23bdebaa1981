#pragma once
// A page held in memory for tests: the test declares which elements exist and
// reads back what the logic wrote into them.
#include <cstddef>
#include <map>
#include <string>

#include "platform/html/page.h"

namespace platform::html {

class MemoryPage : public IPage {
 public:
  struct Element {
    std::string tag;
    std::u16string text;
    std::u16string innerHtml;
    std::u16string value;
    bool checked = false;
    bool disabled = false;
    std::map<std::string, std::u16string> style;
    std::vector<SelectOption> options;
    int selected = -1;
  };

  // Adds (or resets) an element; tag is lower case ("textarea", "input", ...).
  Element& AddElement(std::string_view id, std::string_view tag = "div");
  void RemoveElement(std::string_view id);
  // nullptr when there is no such element.
  const Element* Find(std::string_view id) const;
  // Writes applied to existing elements, and writes skipped for missing ones.
  size_t appliedWrites() const { return applied_; }
  size_t skippedWrites() const { return skipped_; }

  bool HasElement(std::string_view id) const override;
  void SetText(std::string_view id, std::u16string_view text) override;
  void SetInnerHtml(std::string_view id, std::u16string_view html) override;
  void SetValue(std::string_view id, std::u16string_view value) override;
  void SetChecked(std::string_view id, bool checked) override;
  void SetDisabled(std::string_view id, bool disabled) override;
  void SetStyle(std::string_view id, std::string_view property, std::u16string_view value) override;
  void SetOptions(std::string_view id, const std::vector<SelectOption>& options, int selected) override;
  void Prepend(std::string_view id, std::u16string_view text, size_t keepLines) override;

 private:
  Element* Target(std::string_view id);
  std::map<std::string, Element, std::less<>> elements_;
  size_t applied_ = 0;
  size_t skipped_ = 0;
};

}  // namespace platform::html
