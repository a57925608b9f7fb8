#include "platform/http/HttpDate.h"

#include <curl/curl.h>
#include <locale.h>
#include <time.h>

#include <string>

#include "platform/dispatch/TimePoints.h"

namespace platform::http {
namespace {

// Day and month names are English whatever the process's locale.
locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

std::optional<Clock::TimePoint> parseHttpDate(std::string_view text) {
  const std::string copy(text);
  const time_t when = curl_getdate(copy.c_str(), nullptr);
  if (when == static_cast<time_t>(-1)) return std::nullopt;
  return timePointFromSeconds(when);
}

std::optional<Clock::TimePoint> parseHttpFieldDate(std::string_view text) {
  static constexpr const char* kForms[] = {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT",
                                           "%a %b %e %H:%M:%S %Y"};
  const std::string copy(text);
  if (cLocale() == static_cast<locale_t>(nullptr)) return std::nullopt;
  for (const char* form : kForms) {
    struct tm fields {};
    const char* end = strptime_l(copy.c_str(), form, &fields, cLocale());
    if (end == nullptr || *end != '\0') continue;
    return timePointFromSeconds(static_cast<std::int64_t>(timegm(&fields)));
  }
  return std::nullopt;
}

}  // namespace platform::http
