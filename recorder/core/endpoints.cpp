#include "recorder/core/endpoints.h"

#include <cstdio>

#include "platform/shell/folders.h"
#include "platform/text/utf.h"

#ifndef ORVWEB_SOURCE_WEB_DIR
#define ORVWEB_SOURCE_WEB_DIR ""
#endif
#ifndef ORVWEB_DATA_SUBDIR
#define ORVWEB_DATA_SUBDIR "share/orvweb"
#endif

namespace orvweb {
namespace {

constexpr char kDefaultNoticeBase[] = "https://www.orvello.example/notice";
constexpr char kDefaultUpdateBase[] = "https://www.orvello.example";

std::string WithoutTrailingSlash(std::string base) {
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

std::string BundledWebFolder() {
  const auto installed = platform::shell::ProgramFolder().parent_path() / ORVWEB_DATA_SUBDIR / "web";
  if (platform::shell::FolderExists(installed)) return installed.string();
  return ORVWEB_SOURCE_WEB_DIR;
}

}  // namespace

Language CurrentLanguage() {
  return platform::shell::UserLanguage() == "de" ? Language::German : Language::English;
}

std::u16string FileUrl(const std::string& absolutePath) {
  std::string url = "file://";
  for (unsigned char c : absolutePath) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
        std::string_view("-._~/").find(static_cast<char>(c)) != std::string_view::npos) {
      url.push_back(static_cast<char>(c));
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      url += buf;
    }
  }
  return platform::FromUtf8(url);
}

std::u16string UiBase(Language language) {
  const char* sub = language == Language::German ? "de/" : "en/";
  std::string base = platform::shell::EnvironmentValue("ORVWEB_UI_BASE");
  if (!base.empty()) return platform::FromUtf8(WithoutTrailingSlash(base) + "/" + sub);
  return FileUrl(WithoutTrailingSlash(BundledWebFolder()) + "/" + sub);
}

std::u16string NoticeBase() {
  const std::string base = platform::shell::EnvironmentValue("ORVWEB_NOTICE_BASE");
  return platform::FromUtf8(WithoutTrailingSlash(base.empty() ? kDefaultNoticeBase : base));
}

std::u16string UpdateBase() {
  const std::string base = platform::shell::EnvironmentValue("ORVWEB_UPDATE_BASE");
  return platform::FromUtf8(WithoutTrailingSlash(base.empty() ? kDefaultUpdateBase : base));
}

}  // namespace orvweb
