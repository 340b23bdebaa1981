#include "platform/html/memory_page.h"

namespace platform::html {

MemoryPage::Element& MemoryPage::AddElement(std::string_view id, std::string_view tag) {
  Element& element = elements_[std::string(id)];
  element = Element{};
  element.tag = tag;
  return element;
}

void MemoryPage::RemoveElement(std::string_view id) {
  if (auto it = elements_.find(id); it != elements_.end()) elements_.erase(it);
}

const MemoryPage::Element* MemoryPage::Find(std::string_view id) const {
  auto it = elements_.find(id);
  return it == elements_.end() ? nullptr : &it->second;
}

bool MemoryPage::HasElement(std::string_view id) const { return Find(id) != nullptr; }

MemoryPage::Element* MemoryPage::Target(std::string_view id) {
  auto it = elements_.find(id);
  if (it == elements_.end()) {
    ++skipped_;
    return nullptr;
  }
  ++applied_;
  return &it->second;
}

void MemoryPage::SetText(std::string_view id, std::u16string_view text) {
  if (Element* e = Target(id)) {
    e->text = text;
    e->innerHtml = text;
  }
}

void MemoryPage::SetInnerHtml(std::string_view id, std::u16string_view html) {
  if (Element* e = Target(id)) e->innerHtml = html;
}

void MemoryPage::SetValue(std::string_view id, std::u16string_view value) {
  if (Element* e = Target(id)) e->value = value;
}

void MemoryPage::SetChecked(std::string_view id, bool checked) {
  if (Element* e = Target(id)) e->checked = checked;
}

void MemoryPage::SetDisabled(std::string_view id, bool disabled) {
  if (Element* e = Target(id)) e->disabled = disabled;
}

void MemoryPage::SetStyle(std::string_view id, std::string_view property, std::u16string_view value) {
  if (Element* e = Target(id)) e->style[std::string(property)] = value;
}

void MemoryPage::SetOptions(std::string_view id, const std::vector<SelectOption>& options, int selected) {
  if (Element* e = Target(id)) {
    e->options = options;
    e->selected = (selected >= 0 && static_cast<size_t>(selected) < options.size()) ? selected : -1;
  }
}

void MemoryPage::Prepend(std::string_view id, std::u16string_view text, size_t keepLines) {
  if (Element* e = Target(id)) {
    e->value.insert(0, text);
    e->value.resize(FirstLines(e->value, keepLines).size());
  }
}

}  // namespace platform::html
