#include "platform/http/HttpDate.h"

#include <curl/curl.h>

#include <string>

#include "platform/dispatch/TimePoints.h"

namespace platform::http {

std::optional<Clock::TimePoint> parseHttpDate(std::string_view text) {
  const std::string copy(text);
  const time_t when = curl_getdate(copy.c_str(), nullptr);
  if (when == static_cast<time_t>(-1)) return std::nullopt;
  return timePointFromSeconds(when);
}

}  // namespace platform::http
