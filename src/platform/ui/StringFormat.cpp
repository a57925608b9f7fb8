#include "platform/ui/StringFormat.h"

#include <cctype>
#include <cstdio>

namespace platform::ui {

namespace {
// One conversion at `i` (just past the '%'): its flags/precision and its
// type letter; `end` is past it.
struct FormatSpec {
  std::string precision;  // ".2"
  std::string length;     // "l", "ll"
  char type = 0;
  std::size_t end = 0;
};

FormatSpec parseFormatSpec(const std::string& f, std::size_t i) {
  FormatSpec spec;
  while (i < f.size() && (f[i] == '.' || std::isdigit(static_cast<unsigned char>(f[i])))) spec.precision += f[i++];
  while (i < f.size() && (f[i] == 'l' || f[i] == 'q' || f[i] == 'h')) spec.length += f[i++];
  spec.type = i < f.size() ? f[i++] : 0;
  spec.end = i;
  return spec;
}

std::string formatArgText(const FormatArgument& a) {
  if (auto s = std::get_if<std::string>(&a)) return *s;
  if (auto n = std::get_if<std::int64_t>(&a)) return std::to_string(*n);
  char text[64];
  std::snprintf(text, sizeof text, "%g", std::get<double>(a));
  return text;
}

std::int64_t formatArgInteger(const FormatArgument& a) {
  if (auto n = std::get_if<std::int64_t>(&a)) return *n;
  if (auto d = std::get_if<double>(&a)) return static_cast<std::int64_t>(*d);
  return 0;
}

double formatArgNumber(const FormatArgument& a) {
  if (auto d = std::get_if<double>(&a)) return *d;
  if (auto n = std::get_if<std::int64_t>(&a)) return static_cast<double>(*n);
  return 0;
}
}  // namespace

std::string stringWithFormat(const std::string& format, const std::vector<FormatArgument>& arguments) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size();) {
    if (format[i] != '%') {
      out += format[i++];
      continue;
    }
    FormatSpec spec = parseFormatSpec(format, i + 1);
    i = spec.end;
    if (spec.type == '%') {
      out += '%';
      continue;
    }
    if (next >= arguments.size()) continue;
    const auto& argument = arguments[next++];
    char text[128];
    switch (spec.type) {
      case '@':
        out += formatArgText(argument);
        break;
      case 'd':
      case 'i':
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(formatArgInteger(argument)));
        out += text;
        break;
      case 'u':
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(formatArgInteger(argument)));
        out += text;
        break;
      case 'f': {
        std::string f = "%" + spec.precision + "f";
        std::snprintf(text, sizeof text, f.c_str(), formatArgNumber(argument));
        out += text;
        break;
      }
      default:
        break;
    }
  }
  return out;
}

std::vector<std::string> formatSpecifiers(const std::string& format) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < format.size();) {
    if (format[i] != '%') {
      ++i;
      continue;
    }
    FormatSpec spec = parseFormatSpec(format, i + 1);
    i = spec.end;
    if (spec.type != '%') out.push_back(spec.precision + spec.length + spec.type);
  }
  return out;
}

}  // namespace platform::ui
