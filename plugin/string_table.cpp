#include "plugin/string_table.h"

#include <algorithm>
#include <cstring>

namespace orvweb {
namespace {

struct Entry {
  uint32_t id;
  std::u16string_view text;
};

constexpr Entry kTable[] = {
    {IDS_PLUGIN_FRIENDLY_NAME, u"Orvello Plugin"},
    {IDS_PLUGIN_DESCRIPTION, u"Orvello Plugin"},
};

}  // namespace

std::u16string_view PluginString(uint32_t id) {
  for (const Entry& e : kTable) {
    if (e.id == id) return e.text;
  }
  return {};
}

}  // namespace orvweb

// Copies the text of id into buffer (at most units - 1 code units and a NUL,
// so a short buffer gets a cut text that still ends) and returns how many
// units it copied; 0 when there is no such text. With no buffer it only
// tells the text's length.
extern "C" __attribute__((visibility("default"))) int DllLoadString(uint32_t id, char16_t* buffer, int units) {
  const std::u16string_view text = orvweb::PluginString(id);
  if (!buffer || units <= 0) return static_cast<int>(text.size());
  const size_t n = std::min(text.size(), static_cast<size_t>(units - 1));
  if (n) std::memcpy(buffer, text.data(), n * sizeof(char16_t));
  buffer[n] = u'\0';
  return static_cast<int>(n);
}
