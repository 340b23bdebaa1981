#include "platform/html/script_page.h"

#include <algorithm>
#include <array>

namespace platform::html {

namespace {

constexpr char kHex[] = "0123456789abcdef";

template <typename Char>
std::string Quote(std::basic_string_view<Char> s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (Char c : s) {
    const auto u = static_cast<unsigned>(static_cast<std::make_unsigned_t<Char>>(c));
    if (u == '"' || u == '\\') {
      out += '\\';
      out += static_cast<char>(u);
    } else if (u >= 0x20 && u < 0x7f && u != '<') {
      out += static_cast<char>(u);
    } else {
      // '<' too, so a write can never close a <script> element around it.
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(u >> shift) & 0xf];
    }
  }
  out += '"';
  return out;
}

bool IsBareNumber(std::u16string_view v) {
  size_t i = 0;
  if (i < v.size() && (v[i] == u'-' || v[i] == u'+')) ++i;
  bool digits = false, dot = false;
  for (; i < v.size(); ++i) {
    if (v[i] >= u'0' && v[i] <= u'9') {
      digits = true;
    } else if (v[i] == u'.' && !dot) {
      dot = true;
    } else {
      return false;
    }
  }
  return digits;
}

bool IsLengthProperty(std::string_view p) {
  static constexpr std::array<std::string_view, 22> kLengths = {
      "width",       "height",        "min-width",    "min-height",   "max-width",   "max-height",
      "left",        "top",           "right",        "bottom",       "margin",      "margin-left",
      "margin-top",  "margin-right",  "margin-bottom", "padding",     "padding-left", "padding-top",
      "padding-right", "padding-bottom", "font-size", "border-width"};
  return std::find(kLengths.begin(), kLengths.end(), p) != kLengths.end();
}

}  // namespace

std::string JsString(std::u16string_view s) { return Quote(s); }
std::string JsString(std::string_view ascii) { return Quote(ascii); }

std::u16string CssValue(std::string_view property, std::u16string_view value) {
  std::u16string out(value);
  if (IsLengthProperty(property) && IsBareNumber(value) && value != u"0") out += u"px";
  return out;
}

ScriptPage::ScriptPage(Send send, std::function<void()> requestFrame)
    : send_(std::move(send)), requestFrame_(std::move(requestFrame)) {}

void ScriptPage::Bind(std::vector<std::string> presentIds) {
  bound_ = true;
  present_.clear();
  present_.insert(presentIds.begin(), presentIds.end());
  lastValue_.clear();
  pendingStyles_.clear();
}

void ScriptPage::Unbind() {
  bound_ = false;
  present_.clear();
  lastValue_.clear();
  pendingStyles_.clear();
}

bool ScriptPage::HasElement(std::string_view id) const { return bound_ && present_.count(id) != 0; }

void ScriptPage::Write(std::string_view id, const std::string& call) {
  if (!bound_) return;
  // Held styles of this element go first so its writes keep their order.
  FlushStylesOf(id);
  SendScript("self.__ob&&__ob." + call + ";");
}

void ScriptPage::FlushStylesOf(std::string_view id) {
  if (pendingStyles_.empty()) return;
  std::string script;
  auto it = std::remove_if(pendingStyles_.begin(), pendingStyles_.end(), [&](const auto& entry) {
    if (entry.first.first != id) return false;
    script += "self.__ob&&__ob.style(" + JsString(std::string_view(entry.first.first)) + "," +
              JsString(std::string_view(entry.first.second)) + "," + JsString(entry.second) + ");";
    return true;
  });
  pendingStyles_.erase(it, pendingStyles_.end());
  if (!script.empty()) SendScript(script);
}

void ScriptPage::Frame() {
  if (!bound_ || pendingStyles_.empty()) return;
  std::string script;
  for (const auto& [key, value] : pendingStyles_) {
    script += "self.__ob&&__ob.style(" + JsString(std::string_view(key.first)) + "," +
              JsString(std::string_view(key.second)) + "," + JsString(value) + ");";
  }
  pendingStyles_.clear();
  SendScript(script);
}

void ScriptPage::SetText(std::string_view id, std::u16string_view text) {
  Write(id, "text(" + JsString(id) + "," + JsString(text) + ")");
}

void ScriptPage::SetInnerHtml(std::string_view id, std::u16string_view html) {
  Write(id, "html(" + JsString(id) + "," + JsString(html) + ")");
}

void ScriptPage::SetValue(std::string_view id, std::u16string_view value) {
  if (!bound_) return;
  auto last = lastValue_.find(id);
  if (last != lastValue_.end() && !last->second.empty() && value.size() > last->second.size() &&
      value.substr(value.size() - last->second.size()) == last->second) {
    const std::u16string_view prefix = value.substr(0, value.size() - last->second.size());
    Write(id, "prepend(" + JsString(id) + "," + JsString(prefix) + ")");
    last->second.assign(value);
    return;
  }
  Write(id, "value(" + JsString(id) + "," + JsString(value) + ")");
  lastValue_.insert_or_assign(std::string(id), std::u16string(value));
}

void ScriptPage::SetChecked(std::string_view id, bool checked) {
  Write(id, "checked(" + JsString(id) + (checked ? ",true)" : ",false)"));
}

void ScriptPage::SetDisabled(std::string_view id, bool disabled) {
  Write(id, "disabled(" + JsString(id) + (disabled ? ",true)" : ",false)"));
}

void ScriptPage::SetStyle(std::string_view id, std::string_view property, std::u16string_view value) {
  if (!bound_) return;
  std::u16string css = CssValue(property, value);
  for (auto& [key, held] : pendingStyles_) {
    if (key.first == id && key.second == property) {
      held = std::move(css);
      return;
    }
  }
  const bool first = pendingStyles_.empty();
  pendingStyles_.push_back({{std::string(id), std::string(property)}, std::move(css)});
  if (first && requestFrame_) requestFrame_();
}

void ScriptPage::SetOptions(std::string_view id, const std::vector<SelectOption>& options, int selected) {
  std::string list = "[";
  for (size_t i = 0; i < options.size(); ++i) {
    if (i) list += ',';
    list += "[" + JsString(options[i].text) + "," + JsString(options[i].value) + "]";
  }
  list += "]";
  Write(id, "options(" + JsString(id) + "," + list + "," + std::to_string(selected) + ")");
  // The select's value is no longer what a value write last put there.
  lastValue_.erase(std::string(id));
}

void ScriptPage::Prepend(std::string_view id, std::u16string_view text, size_t keepLines) {
  Write(id, "prepend(" + JsString(id) + "," + JsString(text) + "," + std::to_string(keepLines) + ")");
  // What the page holds is no longer what a value write last put there.
  lastValue_.erase(std::string(id));
}

void ScriptPage::SendScript(const std::string& script) {
  if (batchDepth_ > 0) {
    batch_ += script;
    return;
  }
  send_(script);
}

void ScriptPage::BeginBatch() { ++batchDepth_; }

void ScriptPage::EndBatch() {
  if (batchDepth_ == 0 || --batchDepth_ > 0) return;
  std::string script;
  script.swap(batch_);
  if (!script.empty()) send_(script);
}

}  // namespace platform::html
