#pragma once
// Pieces of describing pages for the page-fetch tests.
#include <string>

namespace page_test {

inline std::string SongLink(const std::string& text, const std::string& id = "1") {
  return "<a href=\"#\" onclick=\"RLNK('/album/?song=" + id + "');\">" + text + "</a>";
}

inline std::string ArtistLink(const std::string& text, const std::string& id = "1") {
  return "<a href=\"#\" onclick=\"RLNK('/artist/?artist=" + id + "');\">" + text + "</a>";
}

// body padded with spaces to exactly size bytes.
inline std::string PadTo(std::string body, size_t size) {
  body.resize(size, ' ');
  return body;
}

}  // namespace page_test
