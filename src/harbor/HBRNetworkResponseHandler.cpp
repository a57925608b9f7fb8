#include "harbor/HBRNetworkResponseHandler.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <system_error>

#include "platform/Bytes.h"
#include "platform/dispatch/Clock.h"
#include "platform/http/HttpDate.h"

namespace lumora {
namespace {

constexpr double kDefaultRetrySeconds = 300;

HBRResponseType responseTypeForStatus(int status) {
  static constexpr int kClientErrors[] = {400, 401, 403, 404, 406, 410, 411, 413, 419, 422, 431};
  if (std::find(std::begin(kClientErrors), std::end(kClientErrors), status) != std::end(kClientErrors)) {
    return HBRResponseType::ClientError;
  }
  if (status == 420 || status == 429) return HBRResponseType::RetryLater;
  if (status == 408) return HBRResponseType::Retryable;
  if (status == 200 || status == 201 || status == 202 || status == 204 || status == 304) {
    return HBRResponseType::Success;
  }
  if (status >= 500 && status <= 599) return HBRResponseType::Retryable;
  return HBRResponseType::Failure;
}

// A content type's media type and its charset parameter, if any:
// "application/json; charset=UTF-8", "application/json;charset=utf-8" and
// quoted charsets all read alike.
struct MediaType {
  std::string type;
  std::optional<std::string> charset;
};

MediaType parseMediaType(std::string_view text) {
  MediaType media;
  std::size_t semicolon = text.find(';');
  media.type = std::string(platform::trimBlanks(text.substr(0, semicolon)));
  while (semicolon != std::string_view::npos) {
    text.remove_prefix(semicolon + 1);
    semicolon = text.find(';');
    std::string_view parameter = platform::trimBlanks(text.substr(0, semicolon));
    std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos ||
        !platform::equalsIgnoringCase(platform::trimBlanks(parameter.substr(0, equals)), "charset")) {
      continue;
    }
    std::string_view value = platform::trimBlanks(parameter.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    media.charset = std::string(value);
  }
  return media;
}

}  // namespace

std::optional<std::string> HBRNetworkResponseHandler::headerForResponse(
    const std::optional<platform::http::Response>& response, const std::string& key) {
  if (!response || response->statusCode() == 0) return std::nullopt;
  return response->valueForHeaderField(key);
}

double HBRNetworkResponseHandler::retryValueForResponse(const std::optional<platform::http::Response>& response) {
  auto header = headerForResponse(response, "Retry-After");
  if (!header) return kDefaultRetrySeconds;
  std::optional<platform::Clock::TimePoint> sent;
  if (auto date = headerForResponse(response, "Date")) {
    sent = platform::http::parseHttpFieldDate(platform::trimBlanks(*date));
  }
  return retryValueForHeaderValue(std::string_view(*header), sent);
}

double HBRNetworkResponseHandler::retryValueForHeaderValue(const std::optional<std::string_view>& value,
                                                           std::optional<platform::Clock::TimePoint> now) {
  if (!value) return kDefaultRetrySeconds;
  const std::string_view text = platform::trimBlanks(*value);
  if (text.empty()) return kDefaultRetrySeconds;
  // A decimal number, whatever the locale: "7" is 7, "7 s" is no number.
  std::string_view number = text;
  if (number.front() == '+') number.remove_prefix(1);
  double seconds = 0;
  const auto read =
      std::from_chars(number.data(), number.data() + number.size(), seconds, std::chars_format::general);
  if (read.ptr != number.data() + number.size() || read.ec == std::errc::invalid_argument) {
    auto date = platform::http::parseHttpFieldDate(text);
    if (!date) return kDefaultRetrySeconds;
    const auto from = now.value_or(platform::Clock::currentTime());
    return *date <= from ? 0.0 : std::chrono::duration<double>(*date - from).count();
  }
  if (read.ec != std::errc() || !std::isfinite(seconds) || seconds < 0) {
    return kDefaultRetrySeconds;
  }
  return seconds;
}

double HBRNetworkResponseHandler::minimumRetrySeconds(std::uint64_t retries) {
  return std::min(kDefaultRetrySeconds, std::ldexp(1.0, static_cast<int>(std::min<std::uint64_t>(retries, 9))));
}

double HBRNetworkResponseHandler::retryDelay(double askedSeconds, double delay, std::uint64_t retries) {
  if (askedSeconds >= 1) return delay;
  return std::max(delay, minimumRetrySeconds(retries));
}

std::optional<std::string> HBRNetworkResponseHandler::requestIdForResponse(
    const std::optional<platform::http::Response>& response) {
  return headerForResponse(response, "X-Request-Id");
}

bool HBRNetworkResponseHandler::contentTypeForResponse(const std::optional<platform::http::Response>& response,
                                                       const platform::http::Request& request) {
  auto accept = request.headers.value("Accept");
  if (!accept) return true;
  auto contentType = headerForResponse(response, "Content-Type");
  if (!contentType) return false;
  MediaType media = parseMediaType(*contentType);
  if (!platform::equalsIgnoringCase(media.type, *accept)) return false;
  auto acceptCharset = request.headers.value("Accept-Charset");
  if (!acceptCharset || !media.charset) return true;
  return platform::equalsIgnoringCase(*media.charset, *acceptCharset);
}

platform::Error HBRNetworkResponseHandler::errorForCode(std::int64_t code, platform::Json userInfo) {
  return platform::Error(kHBRNetworkErrorDomain, code, std::move(userInfo));
}

std::optional<platform::Error> HBRNetworkResponseHandler::errorForResponse(
    const std::optional<platform::http::Response>& response, HBRResponseType type, int status) {
  std::int64_t code = 0;
  switch (type) {
    case HBRResponseType::Success: return std::nullopt;
    case HBRResponseType::Failure: code = kHBRNetworkErrorFailedResponse; break;
    case HBRResponseType::ClientError: code = kHBRNetworkErrorClientError; break;
    case HBRResponseType::Retryable:
    case HBRResponseType::RetryLater: code = kHBRNetworkErrorRetry; break;
  }
  return errorForCode(code, {{"type", static_cast<int>(type)},
                             {"status_code", status},
                             {"request_id", requestIdForResponse(response).value_or("")},
                             {"content_type", headerForResponse(response, "Content-Type").value_or("")}});
}

void HBRNetworkResponseHandler::clientResponseType(const std::optional<platform::http::Response>& response,
                                                   const std::function<void(HBRResponseType, int)>& handler) {
  if (!response || response->statusCode() == 0) {
    handler(HBRResponseType::Failure, 0);
    return;
  }
  handler(responseTypeForStatus(response->statusCode()), response->statusCode());
}

void HBRNetworkResponseHandler::handleCompletedResponse(
    const std::optional<platform::http::Response>& response, const platform::http::Request& request,
    const std::optional<platform::Error>& error,
    const std::function<void(bool, const std::optional<platform::Error>&)>& block) {
  if (error) {
    block(false, error);
    return;
  }
  clientResponseType(response, [&](HBRResponseType type, int status) {
    switch (type) {
      case HBRResponseType::Success:
        if (contentTypeForResponse(response, request)) block(false, std::nullopt);
        else block(false, errorForResponse(response, HBRResponseType::Failure, status));
        return;
      case HBRResponseType::Failure:
      case HBRResponseType::ClientError:
        block(false, errorForResponse(response, type, status));
        return;
      case HBRResponseType::Retryable:
      case HBRResponseType::RetryLater:
        block(true, errorForResponse(response, type, status));
        return;
    }
  });
}

}  // namespace lumora
