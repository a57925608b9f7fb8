#include "platform/http/CookieStorage.h"

#include <algorithm>

namespace platform::http {

CookieStorage& CookieStorage::shared() {
  static auto* storage = new CookieStorage();
  return *storage;
}

bool CookieStorage::setCookie(const Cookie& cookie) {
  if (!cookie.isValid()) return false;
  const auto now = Clock::currentTime();
  std::lock_guard<std::mutex> guard(mutex_);
  auto stored = std::find_if(cookies_.begin(), cookies_.end(),
                             [&](const Cookie& c) { return c.sameIdentity(cookie); });
  if (cookie.isExpired(now)) {
    if (stored != cookies_.end()) cookies_.erase(stored);
  } else if (stored != cookies_.end()) {
    *stored = cookie;
  } else {
    cookies_.push_back(cookie);
  }
  noteCountLocked();
  return true;
}

void CookieStorage::setCookies(const std::vector<Cookie>& cookies) {
  for (const auto& cookie : cookies) setCookie(cookie);
}

void CookieStorage::setCookiesFromResponse(const Response& response) {
  if (!response.allHeaderFields().contains("Set-Cookie")) return;
  setCookies(cookiesFromHeaderFields(response.allHeaderFields(), response.url()));
}

std::vector<Cookie> CookieStorage::cookies() const {
  const auto now = Clock::current()->now();
  std::lock_guard<std::mutex> guard(mutex_);
  dropExpiredLocked(now);
  return cookies_;
}

std::vector<Cookie> CookieStorage::cookiesForURL(std::string_view url) const {
  std::vector<Cookie> matching;
  if (!any_.load(std::memory_order_acquire)) return matching;
  auto parsed = Url::parse(url);
  if (!parsed) return matching;
  const auto now = Clock::currentTime();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    dropExpiredLocked(now);
    for (const auto& cookie : cookies_) {
      if (cookie.matches(*parsed)) matching.push_back(cookie);
    }
  }
  std::stable_sort(matching.begin(), matching.end(), [](const Cookie& a, const Cookie& b) {
    return a.path.size() > b.path.size();
  });
  return matching;
}

bool CookieStorage::deleteCookie(const Cookie& cookie) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto stored = std::find_if(cookies_.begin(), cookies_.end(),
                             [&](const Cookie& c) { return c.sameIdentity(cookie); });
  if (stored == cookies_.end()) return false;
  cookies_.erase(stored);
  noteCountLocked();
  return true;
}

void CookieStorage::deleteAllCookies() {
  std::lock_guard<std::mutex> guard(mutex_);
  cookies_.clear();
  noteCountLocked();
}

void CookieStorage::dropExpiredLocked(Clock::TimePoint now) const {
  cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                [&](const Cookie& c) { return c.isExpired(now); }),
                 cookies_.end());
  noteCountLocked();
}

}  // namespace platform::http
