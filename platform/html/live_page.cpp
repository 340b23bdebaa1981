#include "platform/html/live_page.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace platform::html {

namespace {
constexpr uint32_t kStyleTimer = 1;
}  // namespace

LivePage::LivePage(platform::Loop& loop, IPage& target, uint32_t styleIntervalMs)
    : Window(loop), target_(target), styleIntervalMs_(styleIntervalMs) {}

LivePage::~LivePage() = default;

void LivePage::Reset() {
  held_.clear();
  pendingCount_ = 0;
  sent_.clear();
  if (timerArmed_) KillTimer(kStyleTimer);
  timerArmed_ = false;
}

void LivePage::SetSeen(bool seen) {
  if (seen == seen_) return;
  if (!seen) {
    seen_ = false;
    // Styles still waiting for their interval wait for the window instead.
    for (size_t i = 0; i < pendingCount_; ++i) {
      const Sent& p = pendingStyles_[i];
      Hold(Write(Kind::Style, p.id, p.property, p.value));
    }
    pendingCount_ = 0;
    if (timerArmed_) KillTimer(kStyleTimer);
    timerArmed_ = false;
    return;
  }
  seen_ = true;
  std::vector<Write> held = std::move(held_);
  held_.clear();
  // Everything missed reaches the page as one message.
  target_.BeginBatch();
  for (const Write& write : held) Apply(write);
  target_.EndBatch();
}

void LivePage::Hold(Write write) {
  const auto same = [&](const Write& w, std::initializer_list<Kind> kinds) {
    return w.id == write.id && std::find(kinds.begin(), kinds.end(), w.kind) != kinds.end() &&
           (w.kind != Kind::Style || w.property == write.property);
  };
  const auto drop = [&](std::initializer_list<Kind> kinds) {
    held_.erase(std::remove_if(held_.begin(), held_.end(), [&](const Write& w) { return same(w, kinds); }),
                held_.end());
  };
  switch (write.kind) {
    case Kind::Prepend:
      // Lines missed meanwhile stay in order, newest first, as many as kept.
      for (Write& w : held_) {
        if (same(w, {Kind::Prepend})) {
          w.text.insert(0, write.text);
          w.number = write.number;
          w.text.resize(FirstLines(w.text, static_cast<size_t>(w.number)).size());
          return;
        }
      }
      break;
    case Kind::Text:
    case Kind::Html:
      drop({Kind::Text, Kind::Html});
      break;
    case Kind::Value:
      // A whole new value replaces the lines put in front of the old one.
      drop({Kind::Value, Kind::Prepend});
      break;
    default:
      drop({write.kind});
      break;
  }
  held_.push_back(std::move(write));
}

bool LivePage::AlreadySent(bool content, std::string_view id, std::string_view property,
                           std::u16string_view value) const {
  for (const Sent& s : sent_) {
    if (s.content == content && s.id == id && s.property == property) return s.value == value;
    // One content slot per element: text and inner HTML replace each other.
    if (content && s.content && s.id == id) return false;
  }
  return false;
}

void LivePage::Remember(bool content, std::string_view id, std::string_view property, std::u16string_view value) {
  for (Sent& s : sent_) {
    if (s.content == content && s.id == id && (content || s.property == property)) {
      s.property.assign(property);
      s.value.assign(value);
      return;
    }
  }
  sent_.push_back(Sent{content, std::string(id), std::string(property), std::u16string(value)});
}

void LivePage::Apply(const Write& w) {
  switch (w.kind) {
    case Kind::Text:
    case Kind::Html: {
      const std::string_view slot = w.kind == Kind::Text ? "text" : "html";
      if (AlreadySent(true, w.id, slot, w.text)) return;
      FlushStylesOf(w.id);
      if (w.kind == Kind::Text) {
        target_.SetText(w.id, w.text);
      } else {
        target_.SetInnerHtml(w.id, w.text);
      }
      Remember(true, w.id, slot, w.text);
      return;
    }
    case Kind::Style:
      SendStyle(w.id, w.property, w.text);
      return;
    case Kind::Value:
      FlushStylesOf(w.id);
      target_.SetValue(w.id, w.text);
      return;
    case Kind::Checked:
      FlushStylesOf(w.id);
      target_.SetChecked(w.id, w.flag);
      return;
    case Kind::Disabled:
      FlushStylesOf(w.id);
      target_.SetDisabled(w.id, w.flag);
      return;
    case Kind::Options:
      FlushStylesOf(w.id);
      target_.SetOptions(w.id, w.options, w.number);
      return;
    case Kind::Prepend:
      FlushStylesOf(w.id);
      target_.Prepend(w.id, w.text, static_cast<size_t>(w.number));
      return;
  }
}

void LivePage::Route(Write write) {
  if (seen_) {
    Apply(write);
  } else {
    Hold(std::move(write));
  }
}

void LivePage::SetText(std::string_view id, std::u16string_view text) { Route(Write(Kind::Text, id, {}, text)); }

void LivePage::SetInnerHtml(std::string_view id, std::u16string_view html) {
  Route(Write(Kind::Html, id, {}, html));
}

void LivePage::SetValue(std::string_view id, std::u16string_view value) { Route(Write(Kind::Value, id, {}, value)); }

void LivePage::SetChecked(std::string_view id, bool checked) { Route(Write(Kind::Checked, id, {}, {}, checked)); }

void LivePage::SetDisabled(std::string_view id, bool disabled) {
  Route(Write(Kind::Disabled, id, {}, {}, disabled));
}

void LivePage::SetOptions(std::string_view id, const std::vector<SelectOption>& options, int selected) {
  Write write(Kind::Options, id, {}, {}, false, selected);
  write.options = options;
  Route(std::move(write));
}

void LivePage::Prepend(std::string_view id, std::u16string_view text, size_t keepLines) {
  Route(Write(Kind::Prepend, id, {}, text, false, static_cast<int>(keepLines)));
}

void LivePage::SetStyle(std::string_view id, std::string_view property, std::u16string_view value) {
  if (!seen_) {
    Hold(Write(Kind::Style, id, property, value));
    return;
  }
  // The steady path (a meter written per capture block): slots are reused,
  // so nothing is allocated once every style has been written once.
  for (size_t i = 0; i < pendingCount_; ++i) {
    Sent& p = pendingStyles_[i];
    if (p.id == id && p.property == property) {
      p.value.assign(value);
      return;
    }
  }
  if (AlreadySent(false, id, property, value)) return;
  const int64_t now = loop().NowMs();
  const int64_t last = SentAt(id, property);
  if (last == INT64_MIN || now - last >= static_cast<int64_t>(styleIntervalMs_)) {
    SendStyle(id, property, value);
    return;
  }
  if (pendingCount_ == pendingStyles_.size()) pendingStyles_.push_back(Sent{false, {}, {}, {}});
  Sent& slot = pendingStyles_[pendingCount_++];
  slot.id.assign(id);
  slot.property.assign(property);
  slot.value.assign(value);
  slot.at = last + styleIntervalMs_;
  ArmTimer();
}

int64_t LivePage::SentAt(std::string_view id, std::string_view property) const {
  for (const Sent& s : sent_) {
    if (!s.content && s.id == id && s.property == property) return s.at;
  }
  return INT64_MIN;
}

void LivePage::SendStyle(std::string_view id, std::string_view property, std::u16string_view value) {
  if (AlreadySent(false, id, property, value)) return;
  target_.SetStyle(id, property, value);
  Remember(false, id, property, value);
  const int64_t now = loop().NowMs();
  for (Sent& s : sent_) {
    if (!s.content && s.id == id && s.property == property) s.at = now;
  }
}

void LivePage::ArmTimer() {
  if (pendingCount_ == 0) {
    if (timerArmed_) KillTimer(kStyleTimer);
    timerArmed_ = false;
    return;
  }
  int64_t due = INT64_MAX;
  for (size_t i = 0; i < pendingCount_; ++i) due = std::min(due, pendingStyles_[i].at);
  const int64_t wait = std::max<int64_t>(1, due - loop().NowMs());
  SetTimer(kStyleTimer, static_cast<uint32_t>(wait));
  timerArmed_ = true;
}

void LivePage::OnTimer(uint32_t timerId) {
  if (timerId != kStyleTimer) return;
  KillTimer(kStyleTimer);
  timerArmed_ = false;
  if (seen_) FlushStyles(false);
}

void LivePage::FlushStyles(bool all) {
  const int64_t now = loop().NowMs();
  size_t kept = 0;
  for (size_t i = 0; i < pendingCount_; ++i) {
    if (all || pendingStyles_[i].at <= now) {
      const Sent& p = pendingStyles_[i];
      SendStyle(p.id, p.property, p.value);
    } else {
      if (kept != i) std::swap(pendingStyles_[kept], pendingStyles_[i]);
      ++kept;
    }
  }
  pendingCount_ = kept;
  ArmTimer();
}

void LivePage::FlushStylesOf(std::string_view id) {
  // An element's styles go before its other writes, so they keep their order.
  size_t kept = 0;
  for (size_t i = 0; i < pendingCount_; ++i) {
    if (pendingStyles_[i].id == id) {
      const Sent& p = pendingStyles_[i];
      SendStyle(p.id, p.property, p.value);
    } else {
      if (kept != i) std::swap(pendingStyles_[kept], pendingStyles_[i]);
      ++kept;
    }
  }
  if (kept != pendingCount_) {
    pendingCount_ = kept;
    ArmTimer();
  }
}

}  // namespace platform::html
