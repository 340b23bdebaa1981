#pragma once
// A message box for tests: records every box shown and answers from a
// script, falling back to a fixed answer when the script runs out.
#include <deque>
#include <string>
#include <vector>

#include "platform/shell/message_box.h"

namespace platform::shell {

class FakeMessageBox : public IMessageBox {
 public:
  struct Shown {
    std::u16string text;
    MessageBoxButtons buttons;
    MessageBoxIcon icon;
  };

  MessageBoxResult Show(std::u16string_view text, MessageBoxButtons buttons, MessageBoxIcon icon) override {
    shown.push_back(Shown{std::u16string(text), buttons, icon});
    if (answers.empty()) return fallback;
    const MessageBoxResult answer = answers.front();
    answers.pop_front();
    return answer;
  }

  std::vector<Shown> shown;
  std::deque<MessageBoxResult> answers;
  MessageBoxResult fallback = MessageBoxResult::Ok;
};

}  // namespace platform::shell
