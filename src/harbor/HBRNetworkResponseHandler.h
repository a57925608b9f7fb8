// How the reporting kits read an HTTP reply: its response class (success,
// failure, client error, retryable, retry later), whether its content type
// is what the request accepted, the delay the server asks for before a
// retry, and the "HBRNetworkError" errors that describe a failed reply.
// Stateless functions; any thread. Failure: none (errors are values).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/dispatch/Clock.h"
#include "platform/http/Request.h"
#include "platform/http/Response.h"

namespace lumora {

inline constexpr const char* kHBRNetworkErrorDomain = "HBRNetworkError";

enum class HBRResponseType : int {
  Success = 0,
  Failure = 1,
  ClientError = 2,
  Retryable = 3,
  RetryLater = 4,
};

// Codes of "HBRNetworkError".
inline constexpr std::int64_t kHBRNetworkErrorRetry = -1;
inline constexpr std::int64_t kHBRNetworkErrorNoTask = -3;
inline constexpr std::int64_t kHBRNetworkErrorFailedResponse = -4;
inline constexpr std::int64_t kHBRNetworkErrorClientError = -5;
inline constexpr std::int64_t kHBRNetworkErrorRetryLimit = -6;

class HBRNetworkResponseHandler {
 public:
  HBRNetworkResponseHandler() = delete;

  static std::optional<std::string> headerForResponse(const std::optional<platform::http::Response>& response,
                                                      const std::string& key);
  // Seconds to wait: the response's "Retry-After" (retryValueForHeaderValue),
  // a date measured from the reply's own "Date" when it has a readable one
  // (the server's clock, not this device's).
  static double retryValueForResponse(const std::optional<platform::http::Response>& response);
  // A "Retry-After" value as seconds: wholly a decimal number (blanks around
  // it aside), however long: the server is never asked again sooner than it
  // said; or wholly an HTTP date, the seconds from `now` (the platform
  // clock's now when not given) until then (0 for a date gone by). An absent
  // or empty value, one that is neither (a number with more after it, a
  // date of another form), and a negative, infinite or NaN number, or one
  // out of a double's range, give the kit's own 300 s.
  static double retryValueForHeaderValue(const std::optional<std::string_view>& value,
                                         std::optional<platform::Clock::TimePoint> now = std::nullopt);
  // The least wait before retry number `retries` + 1 of one request whose
  // server asks for less than a second: 1 s, doubling with each retry, up
  // to 300 s. A server that answers "0" every time gets a handful of
  // requests a minute.
  static double minimumRetrySeconds(std::uint64_t retries);
  // The wait before retry number `retries` + 1: `delay`, worked out from the
  // server's `askedSeconds`, as it is when the server asked for a second or
  // more; else at least the least wait.
  static double retryDelay(double askedSeconds, double delay, std::uint64_t retries);
  static std::optional<std::string> requestIdForResponse(const std::optional<platform::http::Response>& response);
  // True when the request names no Accept type, or the reply's media type is
  // it (ignoring case) and, when both name a charset, the charsets agree.
  static bool contentTypeForResponse(const std::optional<platform::http::Response>& response,
                                     const platform::http::Request& request);
  static platform::Error errorForCode(std::int64_t code, platform::Json userInfo = platform::Json::object());
  // None for a success.
  static std::optional<platform::Error> errorForResponse(const std::optional<platform::http::Response>& response,
                                                         HBRResponseType type, int status);
  // Calls `handler` once with the class and the status (0 without one).
  static void clientResponseType(const std::optional<platform::http::Response>& response,
                                 const std::function<void(HBRResponseType, int)>& handler);
  // Calls `block` once with (retry wanted, error).
  static void handleCompletedResponse(
      const std::optional<platform::http::Response>& response, const platform::http::Request& request,
      const std::optional<platform::Error>& error,
      const std::function<void(bool, const std::optional<platform::Error>&)>& block);
};

}  // namespace lumora
