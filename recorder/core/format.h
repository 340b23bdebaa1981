#pragma once
// printf-style formatting of the system's UTF-16 texts: "%s" takes a text,
// "%d"/"%i"/"%u"/"%x"/"%X" an integer, "%f"/"%e"/"%g" a real (flags, width and
// precision as printf), "%%" a percent sign. Arguments of the wrong kind are
// converted; a missing one formats as empty or 0; an unknown conversion is
// copied literally. It never reads past its arguments.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace orvweb {

using FormatArg = std::variant<int64_t, double, std::u16string>;

std::u16string FormatText(std::u16string_view format, std::initializer_list<FormatArg> args);

// The time-span format of the record-time label: "%H" hours within the day,
// "%M" minutes within the hour, "%S" seconds within the minute (two digits
// each), "%D" whole days, "%%" a percent sign; any other "%x" is dropped.
std::u16string FormatTimeSpan(std::u16string_view format, int64_t seconds);

}  // namespace orvweb
