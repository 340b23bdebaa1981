#pragma once
// The page of a window that is often not looked at (minimised, in the tray,
// covered). Every write costs the web process a layout and a repaint, so:
// - while the window is not seen nothing is written; the latest write of each
//   kind per element is held (log lines are gathered, newest first) and all
//   of it goes out together when the window is seen again;
// - while it is seen, each style (a level meter's width, written up to once
//   per capture block) leaves at most once per interval, the latest value
//   winning;
// - a text, inner-HTML or style write that repeats what the page already
//   has is not sent at all.
// Values and check marks are always sent: the user may have changed them.
// Runs on the loop's thread; steady writes allocate nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/html/page.h"
#include "platform/loop/loop.h"

namespace platform::html {

class LivePage : public IPage, private platform::Window {
 public:
  // styleIntervalMs: the shortest time between two style sends.
  LivePage(platform::Loop& loop, IPage& target, uint32_t styleIntervalMs);
  ~LivePage() override;

  // The target holds a new document: forget what it had and what is held.
  void Reset();
  void SetSeen(bool seen);
  bool seen() const { return seen_; }

  bool HasElement(std::string_view id) const override { return target_.HasElement(id); }
  void SetText(std::string_view id, std::u16string_view text) override;
  void SetInnerHtml(std::string_view id, std::u16string_view html) override;
  void SetValue(std::string_view id, std::u16string_view value) override;
  void SetChecked(std::string_view id, bool checked) override;
  void SetDisabled(std::string_view id, bool disabled) override;
  void SetStyle(std::string_view id, std::string_view property, std::u16string_view value) override;
  void SetOptions(std::string_view id, const std::vector<SelectOption>& options, int selected) override;
  void Prepend(std::string_view id, std::u16string_view text, size_t keepLines) override;

 private:
  enum class Kind { Text, Html, Value, Checked, Disabled, Style, Options, Prepend };
  struct Write {
    Write(Kind k, std::string_view i, std::string_view p, std::u16string_view t, bool f = false, int n = 0)
        : kind(k), id(i), property(p), text(t), flag(f), number(n) {}
    Kind kind;
    std::string id;
    std::string property;  // styles only
    std::u16string text;
    bool flag = false;
    std::vector<SelectOption> options;
    int number = 0;  // selected option, or the lines a prepend keeps
  };
  // What the page was last sent for one content or style slot.
  struct Sent {
    bool content;  // text/inner HTML, else a style property
    std::string id;
    std::string property;
    std::u16string value;
    int64_t at = 0;  // sent at, or (waiting) due at
  };

  void OnTimer(uint32_t timerId) override;
  // Sends a write now when the window is seen, else holds it.
  void Route(Write write);
  // Holds a write for when the window is seen again.
  void Hold(Write write);
  bool AlreadySent(bool content, std::string_view id, std::string_view property, std::u16string_view value) const;
  // When this style was last sent; INT64_MIN when never.
  int64_t SentAt(std::string_view id, std::string_view property) const;
  void Remember(bool content, std::string_view id, std::string_view property, std::u16string_view value);
  void Apply(const Write& write);
  void SendStyle(std::string_view id, std::string_view property, std::u16string_view value);
  // Sends the waiting styles that are due (all of them when all is set).
  void FlushStyles(bool all);
  void FlushStylesOf(std::string_view id);
  void ArmTimer();

  IPage& target_;
  const uint32_t styleIntervalMs_;
  bool seen_ = true;
  std::vector<Write> held_;
  // Style writes waiting for the interval, in first-write order.
  std::vector<Sent> pendingStyles_;
  size_t pendingCount_ = 0;
  std::vector<Sent> sent_;
  bool timerArmed_ = false;
};

}  // namespace platform::html
