#include "platform/http/Response.h"

#include <algorithm>

#include "platform/Bytes.h"
#include "platform/NumberValues.h"

namespace platform::http {

Response::Response(std::string url, int statusCode, HeaderFields headers)
    : url_(std::move(url)), statusCode_(statusCode), headers_(std::move(headers)) {}

std::optional<std::string> Response::mimeType() const {
  auto type = headers_.value("Content-Type");
  if (!type) return std::nullopt;
  std::string_view text = *type;
  text = trimBlanks(text.substr(0, text.find(';')));
  if (text.empty()) return std::nullopt;
  return lowerCased(text);
}

std::optional<std::string> Response::textEncodingName() const {
  auto type = headers_.value("Content-Type");
  if (!type) return std::nullopt;
  std::string_view rest = *type;
  for (auto semi = rest.find(';'); semi != std::string_view::npos; semi = rest.find(';')) {
    rest.remove_prefix(semi + 1);
    std::string_view param = rest.substr(0, rest.find(';'));
    auto eq = param.find('=');
    if (eq == std::string_view::npos) continue;
    if (lowerCased(trimBlanks(param.substr(0, eq))) != "charset") continue;
    std::string_view value = trimBlanks(param.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.empty()) return std::nullopt;
    return lowerCased(value);
  }
  return std::nullopt;
}

std::int64_t Response::expectedContentLength() const {
  auto length = headers_.value("Content-Length");
  if (!length) return -1;
  std::string_view text = trimBlanks(*length);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return -1;
  // A length beyond 64 bits reads as the largest one.
  return leadingIntegerValue<std::int64_t>(text);
}

std::string Response::localizedStringForStatusCode(int statusCode) {
  switch (statusCode) {
    case 100: return "continue";
    case 101: return "switching protocols";
    case 200: return "no error";
    case 201: return "created";
    case 202: return "accepted";
    case 203: return "non-authoritative information";
    case 204: return "no content";
    case 205: return "reset content";
    case 206: return "partial content";
    case 300: return "multiple choices";
    case 301: return "moved permanently";
    case 302: return "found";
    case 303: return "see other";
    case 304: return "not modified";
    case 305: return "needs proxy";
    case 307: return "temporarily redirected";
    case 400: return "bad request";
    case 401: return "unauthorized";
    case 402: return "payment required";
    case 403: return "forbidden";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 406: return "unacceptable";
    case 407: return "proxy authentication required";
    case 408: return "request timed out";
    case 409: return "conflict";
    case 410: return "no longer exists";
    case 411: return "length required";
    case 412: return "precondition failed";
    case 413: return "request too large";
    case 414: return "requested URL too long";
    case 415: return "unsupported media type";
    case 416: return "requested range not satisfiable";
    case 417: return "expectation failed";
    case 500: return "internal server error";
    case 501: return "unimplemented";
    case 502: return "bad gateway";
    case 503: return "service unavailable";
    case 504: return "gateway timed out";
    case 505: return "unsupported version";
    default: break;
  }
  if (statusCode >= 100 && statusCode < 200) return "informational";
  if (statusCode >= 200 && statusCode < 300) return "success";
  if (statusCode >= 300 && statusCode < 400) return "redirected";
  if (statusCode >= 400 && statusCode < 500) return "client error";
  if (statusCode >= 500 && statusCode < 600) return "server error";
  return "server error";
}

}  // namespace platform::http
