// The cookie store shared by the whole process (and any private store a test
// makes). Cookies live in memory in the order they were first stored; a
// cookie with the name, domain and path of a stored one replaces it in place.
// Expired cookies are never returned and are dropped when next seen (expiry
// against platform::Clock). All members are thread-safe.
#pragma once

#include <atomic>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/http/Cookie.h"
#include "platform/http/Response.h"

namespace platform::http {

class CookieStorage {
 public:
  // The process-wide store, created on first use and never destroyed.
  static CookieStorage& shared();

  CookieStorage() = default;
  CookieStorage(const CookieStorage&) = delete;
  CookieStorage& operator=(const CookieStorage&) = delete;

  // Stores the cookie, replacing one with the same name, domain and path. An
  // already expired cookie only removes that stored one. Answers false (and
  // stores nothing) for a cookie that is not valid.
  bool setCookie(const Cookie& cookie);
  void setCookies(const std::vector<Cookie>& cookies);
  // Stores the cookies that the response's Set-Cookie fields set for its URL.
  void setCookiesFromResponse(const Response& response);

  // Every live cookie, in store order.
  std::vector<Cookie> cookies() const;
  // The live cookies a request to `url` carries: longer paths first, then in
  // store order. Empty for text that is no URL.
  std::vector<Cookie> cookiesForURL(std::string_view url) const;

  // Removes the stored cookie with the name, domain and path of `cookie`;
  // false when there was none.
  bool deleteCookie(const Cookie& cookie);
  void deleteAllCookies();

 private:
  void dropExpiredLocked(Clock::TimePoint now) const;
  // Notes whether any cookie is stored; the lock is held.
  void noteCountLocked() const { any_.store(!cookies_.empty(), std::memory_order_release); }

  mutable std::mutex mutex_;
  mutable std::vector<Cookie> cookies_;
  // Whether cookies_ holds anything: a request to an empty store takes no
  // lock.
  mutable std::atomic<bool> any_{false};
};

}  // namespace platform::http
