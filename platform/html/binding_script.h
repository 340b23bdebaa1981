#pragma once
// The script injected at the start of every top-level document of an HTML
// dialog. It runs in its own script world, so the page's scripts can neither
// see its helpers nor post to its message channel.
#include <string>
#include <vector>

namespace platform::html {

inline constexpr char kBindingWorld[] = "orvweb";
inline constexpr char kBindingChannel[] = "orvweb";

std::string BindingScript(const std::vector<std::string>& watchedIds, bool helpKey);

}  // namespace platform::html
