#include "platform/html/page.h"

namespace platform::html {

std::u16string_view FirstLines(std::u16string_view text, size_t keepLines) {
  if (keepLines == 0) return text;
  size_t end = 0;
  for (size_t n = 0; n < keepLines; ++n) {
    const size_t feed = text.find(u'\n', end);
    if (feed == std::u16string_view::npos) return text;
    end = feed + 1;
  }
  return text.substr(0, end);
}

}  // namespace platform::html
