#pragma once
// Conversions between the UTF-16 texts of the system and the UTF-8 of the
// platform edges (GTK, file paths, HTTP). Invalid input never throws: broken
// sequences become U+FFFD so a damaged name still yields a usable string.
#include <string>
#include <string_view>

namespace platform {

std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// Equal when the texts differ at most in the case of ASCII letters; every
// other unit must match exactly (names of properties and attributes).
bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b);

}  // namespace platform
