#pragma once
// Artist and title taken from the web page that describes the current item,
// for streams that name such a page but no usable artist or title.
#include <string>

#include "platform/http/http.h"

// True when the snapshot's names must come from its page: an address is
// given and the author or the title is empty, or the title is the
// placeholder "generate" in any letter case.
bool NeedsNowPlayingPage(const std::u16string& address, const std::u16string& author, const std::u16string& title);

// Fetches the page (agent "WebBrowser", the address as given) and takes the
// title from its first song link and the author from its first artist link,
// each exactly as written in the page; a value whose link is missing stays
// as it was. The body is read in 10240-byte pieces, each converted from the
// locale's charset up to its first NUL byte.
//
// Returns false when the page could not be read: an address that is not
// http or https, a host that does not answer within the time-out, a body
// over 8 MiB, or a broken transfer. The caller then handles no song change
// for this snapshot. Any HTTP response counts as read, so an error page
// simply yields no links.
bool FetchNowPlayingPage(platform::http::Client& client, const std::u16string& address, std::u16string& author,
                         std::u16string& title);

// The same over a new session of the real client.
bool FetchNowPlayingPage(const std::u16string& address, std::u16string& author, std::u16string& title);
