#include "recorder/core/format.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/text/utf.h"

namespace orvweb {
namespace {

std::u16string Ascii(const char* text) {
  std::u16string out;
  for (; *text; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

int64_t AsInteger(const FormatArg* arg) {
  if (!arg) return 0;
  if (const auto* i = std::get_if<int64_t>(arg)) return *i;
  if (const auto* d = std::get_if<double>(arg)) return static_cast<int64_t>(*d);
  return 0;
}

double AsReal(const FormatArg* arg) {
  if (!arg) return 0;
  if (const auto* d = std::get_if<double>(arg)) return *d;
  if (const auto* i = std::get_if<int64_t>(arg)) return static_cast<double>(*i);
  return 0;
}

std::u16string AsText(const FormatArg* arg) {
  if (!arg) return u"";
  if (const auto* s = std::get_if<std::u16string>(arg)) return *s;
  if (const auto* i = std::get_if<int64_t>(arg)) return Ascii(std::to_string(*i).c_str());
  return Ascii(std::to_string(std::get<double>(*arg)).c_str());
}

}  // namespace

std::u16string FormatText(std::u16string_view format, std::initializer_list<FormatArg> args) {
  std::u16string out;
  const FormatArg* next = args.begin();
  auto take = [&]() -> const FormatArg* { return next != args.end() ? next++ : nullptr; };

  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%') {
      out.push_back(format[i]);
      continue;
    }
    // Parse %[flags][width][.precision][length]conversion; widths are capped
    // so a hostile format cannot ask for a huge buffer.
    size_t j = i + 1;
    std::string flags;
    while (j < format.size() && std::u16string_view(u"-+ #0").find(format[j]) != std::u16string_view::npos) {
      flags.push_back(static_cast<char>(format[j++]));
    }
    auto number = [&] {
      int value = 0;
      while (j < format.size() && format[j] >= u'0' && format[j] <= u'9') {
        value = std::min(value * 10 + (format[j++] - u'0'), 255);
      }
      return value;
    };
    const int width = number();
    int precision = -1;
    if (j < format.size() && format[j] == u'.') {
      ++j;
      precision = number();
    }
    std::string spec = "%" + flags + (width ? std::to_string(width) : "");
    if (precision >= 0) spec += "." + std::to_string(precision);
    while (j < format.size() && std::u16string_view(u"hlLqjzt").find(format[j]) != std::u16string_view::npos) ++j;
    if (j >= format.size()) {
      out.append(format.substr(i));
      break;
    }
    const char16_t conv = format[j];
    char buf[512];
    switch (conv) {
      case u'%':
        out.push_back(u'%');
        break;
      case u'd':
      case u'i':
        std::snprintf(buf, sizeof buf, (spec + "lld").c_str(), static_cast<long long>(AsInteger(take())));
        out += Ascii(buf);
        break;
      case u'u':
      case u'x':
      case u'X':
        std::snprintf(buf, sizeof buf, (spec + "ll" + static_cast<char>(conv)).c_str(),
                      static_cast<unsigned long long>(AsInteger(take())));
        out += Ascii(buf);
        break;
      case u'f':
      case u'F':
      case u'e':
      case u'E':
      case u'g':
      case u'G':
        std::snprintf(buf, sizeof buf, (spec + static_cast<char>(conv)).c_str(), AsReal(take()));
        out += Ascii(buf);
        break;
      case u's':
      case u'S': {
        // Width and precision count UTF-16 units here.
        std::u16string text = AsText(take());
        if (precision >= 0 && text.size() > static_cast<size_t>(precision)) text.resize(precision);
        const std::u16string pad(text.size() < static_cast<size_t>(width) ? width - text.size() : 0, u' ');
        out += flags.find('-') != std::string::npos ? text + pad : pad + text;
        break;
      }
      case u'c': {
        const FormatArg* arg = take();
        out.push_back(static_cast<char16_t>(AsInteger(arg)));
        break;
      }
      default:
        out.append(format.substr(i, j - i + 1));
        break;
    }
    i = j;
  }
  return out;
}

std::u16string FormatTimeSpan(std::u16string_view format, int64_t seconds) {
  if (seconds < 0) seconds = 0;
  auto two = [](int64_t v) {
    std::u16string s;
    s.push_back(static_cast<char16_t>(u'0' + (v / 10) % 10));
    s.push_back(static_cast<char16_t>(u'0' + v % 10));
    return s;
  };
  std::u16string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%') {
      out.push_back(format[i]);
      continue;
    }
    if (++i >= format.size()) break;
    switch (format[i]) {
      case u'H': out += two((seconds / 3600) % 24); break;
      case u'M': out += two((seconds / 60) % 60); break;
      case u'S': out += two(seconds % 60); break;
      case u'D': out += Ascii(std::to_string(seconds / 86400).c_str()); break;
      case u'%': out.push_back(u'%'); break;
      default: break;  // unknown: dropped together with the "%"
    }
  }
  return out;
}

}  // namespace orvweb
