// HTTP cookies: the value type, reading the Set-Cookie fields of a response
// and forming the Cookie field of a request. Expiry dates are compared with
// platform::Clock. Plain values and free functions; nothing here throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/http/HeaderFields.h"
#include "platform/http/Url.h"

namespace platform::http {

struct Cookie {
  std::string name;
  std::string value;
  // A domain with a leading dot (".example.com") covers that domain and every
  // host under it; without one it names exactly one host.
  std::string domain;
  std::string path = "/";
  // None: a session cookie, kept until deleted or the process ends.
  std::optional<Clock::TimePoint> expiresDate;
  // Sent over https only.
  bool secure = false;
  bool httpOnly = false;

  bool isSessionOnly() const { return !expiresDate.has_value(); }
  // Name and domain present, path starting with "/", no ";", CR, LF or other
  // control characters in name or value, no "=" in the name.
  bool isValid() const;
  bool isExpired(Clock::TimePoint now) const { return expiresDate && *expiresDate <= now; }
  // Whether a request to `url` carries this cookie (domain, path and the
  // secure flag; expiry is the store's business).
  bool matches(const Url& url) const;
  // Same name, domain (ignoring case) and path: one replaces the other.
  bool sameIdentity(const Cookie& other) const;

  friend bool operator==(const Cookie&, const Cookie&) = default;
};

// The cookie one Set-Cookie field value sets for a response from `url`, or
// nullopt when the field is malformed (no "name=", empty name, control
// characters) or names a domain the URL's host is not in. Max-Age takes
// precedence over Expires; either one in the past yields an expired cookie,
// which deletes a stored one when saved.
std::optional<Cookie> parseSetCookie(std::string_view fieldValue, const Url& url);

// Every cookie that the Set-Cookie fields among `headers` set for `url`;
// malformed fields are skipped and the rest kept. The URL's host may carry a
// leading dot (a cookie domain made into a URL).
std::vector<Cookie> cookiesFromHeaderFields(const HeaderFields& headers, std::string_view url);

// The Cookie field value for the cookies, in the order given:
// "name=value; name2=value2". Empty for no cookies.
std::string cookieHeaderValue(const std::vector<Cookie>& cookies);

}  // namespace platform::http
