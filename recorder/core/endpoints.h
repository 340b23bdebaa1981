#pragma once
// Addresses of the product's web endpoints.
//
// UI pages: the bundled web/en/ and web/de/ folders as file:// URLs, found
// under the installed prefix (<bin>/../share/orvweb/web) or else in the
// source tree the program was built from. ORVWEB_UI_BASE replaces the folder
// that holds "en/" and "de/" (for example "http://127.0.0.1:8080/ui/").
// Notices and updates: https addresses of the product, replaced by
// ORVWEB_NOTICE_BASE and ORVWEB_UPDATE_BASE.
#include <string>

namespace orvweb {

enum class Language { English, German };

// The language of the user's messages: German for "de", English otherwise.
Language CurrentLanguage();

// Base of the language's UI pages, ending in "/".
std::u16string UiBase(Language language);
// Base of the notice server, without a trailing "/"; a notice goes to
// NoticeBase() + "/" + page.
std::u16string NoticeBase();
// Base of the update server, without a trailing "/".
std::u16string UpdateBase();

// The product's web address, as written into the comment of every song.
inline constexpr char16_t kProductWebAddress[] = u"https://www.orvello.example/";

// A file path as a file:// URL (bytes outside the unreserved set %-encoded).
std::u16string FileUrl(const std::string& absolutePath);

}  // namespace orvweb
