// The account SDK's helpers over HTTP cookies and the process-wide cookie
// store (platform::http::CookieStorage::shared()). Cookies made here are
// session cookies (no expiry) with path "/".
//
// Threading: any thread (the store locks itself). Failures: arguments that
// fail their checks give nullopt / false and change nothing; a cookie the
// store refuses (a value with ";" or a line break, for instance) is not
// stored and leaves any stored cookie of that name as it was.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/http/Cookie.h"

namespace lumora {

class KPCookieUtil {
 public:
  KPCookieUtil() = delete;

  using Cookie = platform::http::Cookie;

  // A cookie for the URL's host; nullopt when the URL has no host or the
  // cookie would not be valid.
  static std::optional<Cookie> newHTTPCookieWithUrl(const std::string& url, const std::string& name,
                                                    const std::string& value);
  // Stores {name, value, "/", domain} in the shared store when name and
  // value are both non-empty; true when it was stored.
  static bool setSharedCookiesValue(const std::optional<std::string>& value,
                                    const std::optional<std::string>& name, const std::string& domain);
  // The value of the first cookie of the list named exactly `name`.
  static std::optional<std::string> getCookieForName(const std::string& name,
                                                     const std::vector<Cookie>& cookies);
  // That search over every cookie of the shared store (in store order).
  static std::optional<std::string> getSharedCookiesValueForKey(const std::optional<std::string>& name);
  // That search over the shared store's cookies for the URL.
  static std::optional<std::string> getSharedCookiesValueForKey(const std::optional<std::string>& name,
                                                                const std::optional<std::string>& url);
  // The cookie with a new value; nullopt without a cookie or when the result
  // would not be valid.
  static std::optional<Cookie> copyCookie(const std::optional<Cookie>& cookie, const std::string& newValue);
  static std::vector<Cookie> getAllSharedCookies();
  // Stores the cookie, replacing one with the same name, domain and path;
  // false when the store refuses it.
  static bool saveSharedCookie(const Cookie& cookie);
};

}  // namespace lumora
