#pragma once
// The library's string table: the texts its registration points players at
// ("res://OrvWeb.dll/RT_STRING/#102" is the friendly name, #103 the
// description). Hosts read them through the exported DllLoadString.
#include <cstdint>
#include <string_view>

namespace orvweb {

inline constexpr uint32_t IDS_PLUGIN_FRIENDLY_NAME = 102;
inline constexpr uint32_t IDS_PLUGIN_DESCRIPTION = 103;

// The text of an identifier; empty when the table has none.
std::u16string_view PluginString(uint32_t id);

}  // namespace orvweb
