#include "account/KPCookieUtil.h"

#include "platform/Bytes.h"
#include "platform/http/CookieStorage.h"
#include "platform/http/Url.h"

namespace lumora {
namespace {

platform::http::CookieStorage& store() { return platform::http::CookieStorage::shared(); }

}  // namespace

std::optional<KPCookieUtil::Cookie> KPCookieUtil::newHTTPCookieWithUrl(const std::string& url,
                                                                      const std::string& name,
                                                                      const std::string& value) {
  auto parsed = platform::http::Url::parse(url);
  if (!parsed || parsed->host().empty()) return std::nullopt;
  Cookie cookie;
  cookie.name = name;
  cookie.value = value;
  cookie.domain = parsed->host();
  cookie.path = "/";
  if (!cookie.isValid()) return std::nullopt;
  return cookie;
}

bool KPCookieUtil::setSharedCookiesValue(const std::optional<std::string>& value,
                                         const std::optional<std::string>& name, const std::string& domain) {
  if (!platform::hasText(name) || !platform::hasText(value)) return false;
  Cookie cookie;
  cookie.name = *name;
  cookie.value = *value;
  cookie.domain = domain;
  cookie.path = "/";
  return store().setCookie(cookie);
}

std::optional<std::string> KPCookieUtil::getCookieForName(const std::string& name,
                                                          const std::vector<Cookie>& cookies) {
  for (const auto& cookie : cookies)
    if (cookie.name == name) return cookie.value;
  return std::nullopt;
}

std::optional<std::string> KPCookieUtil::getSharedCookiesValueForKey(const std::optional<std::string>& name) {
  if (!platform::hasText(name)) return std::nullopt;
  return getCookieForName(*name, store().cookies());
}

std::optional<std::string> KPCookieUtil::getSharedCookiesValueForKey(const std::optional<std::string>& name,
                                                                     const std::optional<std::string>& url) {
  if (!platform::hasText(name) || !platform::hasText(url)) return std::nullopt;
  return getCookieForName(*name, store().cookiesForURL(*url));
}

std::optional<KPCookieUtil::Cookie> KPCookieUtil::copyCookie(const std::optional<Cookie>& cookie,
                                                            const std::string& newValue) {
  if (!cookie) return std::nullopt;
  Cookie copy = *cookie;
  copy.value = newValue;
  if (!copy.isValid()) return std::nullopt;
  return copy;
}

std::vector<KPCookieUtil::Cookie> KPCookieUtil::getAllSharedCookies() { return store().cookies(); }

bool KPCookieUtil::saveSharedCookie(const Cookie& cookie) { return store().setCookie(cookie); }

}  // namespace lumora
