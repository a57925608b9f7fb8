#include "platform/http/Cookie.h"

#include <algorithm>
#include <cctype>

#include "platform/Bytes.h"
#include "platform/NumberValues.h"
#include "platform/dispatch/TimePoints.h"
#include "platform/http/HttpDate.h"

namespace platform::http {
namespace {

bool hasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7F;
  });
}

// Host name or address of the URL, without a leading dot.
std::string hostForMatching(const Url& url) {
  std::string_view host = url.host();
  while (!host.empty() && host.front() == '.') host.remove_prefix(1);
  return std::string(host);
}

// The directory of the request path: up to, not including, its last "/".
std::string defaultPath(const std::string& requestPath) {
  if (requestPath.empty() || requestPath.front() != '/') return "/";
  auto last = requestPath.rfind('/');
  if (last == 0) return "/";
  return requestPath.substr(0, last);
}

bool pathMatches(std::string_view requestPath, std::string_view cookiePath) {
  if (requestPath == cookiePath) return true;
  if (requestPath.substr(0, cookiePath.size()) != cookiePath) return false;
  return cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

bool domainMatches(const std::string& host, std::string_view domain, bool hostIsAddress) {
  if (host == domain) return true;
  if (hostIsAddress || domain.empty()) return false;
  return host.ends_with("." + std::string(domain));
}

std::optional<Clock::TimePoint> parseMaxAge(std::string_view text, Clock::TimePoint now) {
  if (text.empty()) return std::nullopt;
  bool negative = text.front() == '-';
  std::string_view digits = negative ? text.substr(1) : text;
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(),
                                     [](unsigned char c) { return std::isdigit(c); })) {
    return std::nullopt;
  }
  if (negative) return Clock::TimePoint::min();
  // Anything beyond a century is as good as for ever and must not overflow.
  constexpr std::int64_t kCap = 100LL * 365 * 24 * 3600;
  std::int64_t seconds = std::min(leadingIntegerValue<std::int64_t>(digits), kCap);
  if (seconds <= 0) return Clock::TimePoint::min();
  return now + std::chrono::seconds(seconds);
}

}  // namespace

bool Cookie::isValid() const {
  if (name.empty() || domain.empty() || path.empty() || path.front() != '/') return false;
  if (name.find_first_of(";=") != std::string::npos || value.find(';') != std::string::npos) {
    return false;
  }
  if (trimBlanks(name).size() != name.size()) return false;
  return !hasControlCharacter(name) && !hasControlCharacter(value) &&
         !hasControlCharacter(domain) && !hasControlCharacter(path);
}

bool Cookie::matches(const Url& url) const {
  if (secure && !url.isSecure()) return false;
  std::string host = hostForMatching(url);
  std::string cookieDomain = lowerCased(domain);
  bool matched = false;
  if (!cookieDomain.empty() && cookieDomain.front() == '.') {
    matched = domainMatches(host, std::string_view(cookieDomain).substr(1), url.hostIsAddress());
  } else {
    matched = host == cookieDomain;
  }
  return matched && pathMatches(url.path(), path);
}

bool Cookie::sameIdentity(const Cookie& other) const {
  return name == other.name && path == other.path && lowerCased(domain) == lowerCased(other.domain);
}

std::optional<Cookie> parseSetCookie(std::string_view fieldValue, const Url& url) {
  std::string_view pair = fieldValue.substr(0, fieldValue.find(';'));
  std::string_view attributes = pair.size() < fieldValue.size()
                                    ? fieldValue.substr(pair.size() + 1)
                                    : std::string_view();
  auto eq = pair.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  Cookie cookie;
  cookie.name = std::string(trimBlanks(pair.substr(0, eq)));
  cookie.value = std::string(trimBlanks(pair.substr(eq + 1)));
  if (cookie.name.empty() || hasControlCharacter(cookie.name) ||
      hasControlCharacter(cookie.value)) {
    return std::nullopt;
  }

  const Clock::TimePoint now = Clock::current()->now();
  std::optional<Clock::TimePoint> expires;
  std::optional<Clock::TimePoint> maxAge;
  std::optional<std::string> domainAttribute;
  std::optional<std::string> pathAttribute;
  while (!attributes.empty()) {
    std::string_view attribute = attributes.substr(0, attributes.find(';'));
    attributes.remove_prefix(std::min(attributes.size(), attribute.size() + 1));
    auto split = attribute.find('=');
    std::string key = lowerCased(trimBlanks(attribute.substr(0, split)));
    std::string_view value =
        split == std::string_view::npos ? std::string_view() : trimBlanks(attribute.substr(split + 1));
    if (key == "expires") {
      if (auto when = parseHttpDate(value)) expires = when;
    } else if (key == "max-age") {
      if (auto when = parseMaxAge(value, now)) maxAge = when;
    } else if (key == "domain") {
      // One leading dot is dropped; a second one is kept, so that such a
      // domain matches no host and the cookie is refused below.
      if (!value.empty() && value.front() == '.') value.remove_prefix(1);
      if (!value.empty()) domainAttribute = lowerCased(value);
    } else if (key == "path") {
      pathAttribute = (!value.empty() && value.front() == '/') ? std::optional(std::string(value))
                                                               : std::nullopt;
    } else if (key == "secure") {
      cookie.secure = true;
    } else if (key == "httponly") {
      cookie.httpOnly = true;
    }
  }
  if (maxAge) cookie.expiresDate = maxAge;
  else if (expires) cookie.expiresDate = expires;

  std::string host = hostForMatching(url);
  if (domainAttribute) {
    // A domain must hold the host; a single label other than the host itself
    // (a top-level domain) may not scope a cookie.
    bool singleLabel = domainAttribute->find('.') == std::string::npos;
    if (!domainMatches(host, *domainAttribute, url.hostIsAddress())) return std::nullopt;
    if (singleLabel && *domainAttribute != host) return std::nullopt;
    cookie.domain = url.hostIsAddress() ? host : "." + *domainAttribute;
  } else {
    cookie.domain = host;
  }
  cookie.path = pathAttribute ? *pathAttribute : defaultPath(url.path());
  if (!cookie.isValid()) return std::nullopt;
  return cookie;
}

std::vector<Cookie> cookiesFromHeaderFields(const HeaderFields& headers, std::string_view url) {
  std::vector<Cookie> cookies;
  auto parsed = Url::parse(url);
  if (!parsed) return cookies;
  for (const auto& value : headers.values("Set-Cookie")) {
    if (auto cookie = parseSetCookie(value, *parsed)) cookies.push_back(std::move(*cookie));
  }
  return cookies;
}

std::string cookieHeaderValue(const std::vector<Cookie>& cookies) {
  std::string out;
  for (const auto& cookie : cookies) {
    if (!out.empty()) out += "; ";
    out += cookie.name;
    out += '=';
    out += cookie.value;
  }
  return out;
}

}  // namespace platform::http
