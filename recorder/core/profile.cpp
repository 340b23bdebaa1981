#include "recorder/core/profile.h"

#include "platform/registry/registry.h"

namespace orvweb {

int GetProfileInt(std::string_view key, int defaultValue) {
  const auto value = platform::registry::Store().GetDword(kProfileKey, key);
  return value ? static_cast<int>(*value) : defaultValue;
}

bool WriteProfileInt(std::string_view key, int value) {
  return platform::registry::Store().SetDword(kProfileKey, key, static_cast<uint32_t>(value));
}

std::u16string GetProfileString(std::string_view key, std::u16string_view defaultValue) {
  auto value = platform::registry::Store().GetString(kProfileKey, key);
  return value ? std::move(*value) : std::u16string(defaultValue);
}

bool WriteProfileString(std::string_view key, std::u16string_view value) {
  return platform::registry::Store().SetString(kProfileKey, key, value);
}

}  // namespace orvweb
