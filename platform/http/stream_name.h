#pragma once
// The name an internet radio stream gives itself in its answer's headers
// (icy-name), read with one small request: the headers only, never the
// endless body behind them.
#include <optional>
#include <string>

namespace platform::http {

struct StreamNameOptions {
  int connectTimeoutMs = 2000;
  int totalTimeoutMs = 4000;
};

// The icy-name of the stream at an http or https address, as sent (its bytes
// are the server's: often UTF-8, sometimes Latin-1); nullopt when the server
// sends none, the address is of another kind or the request fails.
std::optional<std::string> ReadStreamName(const std::string& url, const StreamNameOptions& options = {});

}  // namespace platform::http
