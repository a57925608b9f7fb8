// The head of an HTTP response: the URL that answered, status code and header
// fields, with the MIME type, text encoding and length read from them.
// Plain value type: copy it freely, use a copy from one thread at a time;
// fields missing from the headers read as nullopt, nothing fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/http/HeaderFields.h"

namespace platform::http {

class Response {
 public:
  Response() = default;
  Response(std::string url, int statusCode, HeaderFields headers);

  // The URL this response came from (after any redirects followed).
  const std::string& url() const { return url_; }
  int statusCode() const { return statusCode_; }
  const HeaderFields& allHeaderFields() const { return headers_; }
  // Case-insensitive lookup; repeated fields joined with ", ".
  std::optional<std::string> valueForHeaderField(std::string_view name) const {
    return headers_.value(name);
  }

  // Content-Type without parameters, lower-cased ("application/json").
  std::optional<std::string> mimeType() const;
  // The Content-Type "charset" parameter, unquoted and lower-cased ("utf-8").
  std::optional<std::string> textEncodingName() const;
  // Content-Length (held to the 64-bit range), or -1 when the server gave
  // none, or no decimal number.
  std::int64_t expectedContentLength() const;

  // The platform's short text for a status code ("not found", "no error").
  static std::string localizedStringForStatusCode(int statusCode);

 private:
  std::string url_;
  int statusCode_ = 0;
  HeaderFields headers_;
};

}  // namespace platform::http
