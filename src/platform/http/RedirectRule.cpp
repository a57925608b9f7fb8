#include "platform/http/RedirectRule.h"

#include <algorithm>
#include <array>

#include "platform/Bytes.h"

namespace platform::http::detail {
namespace {

// What another origin is told: what is asked for and in which form, never
// who asks (cookies, tokens, API keys, signatures and the kits' own fields
// all stay behind, whether or not a client thought to mark them).
constexpr std::array<std::string_view, 8> kFieldsForOtherOrigins = {
    "Accept",   "Accept-Charset", "Accept-Encoding", "Accept-Language",
    "Content-Language", "User-Agent", "Range",       "If-Range"};

bool isBodiless(std::string_view method) { return method == "GET" || method == "HEAD"; }

}  // namespace

std::string RedirectRule::originOf(const Url& url) {
  return url.scheme() + "://" + url.host() + ":" + std::to_string(url.port());
}

std::string RedirectRule::methodAfter(long status, const std::string& method) {
  const std::string upper = upperCased(method);
  const bool toGet = (status == 303 && upper != "HEAD") || ((status == 301 || status == 302) && upper == "POST");
  return toGet ? "GET" : upper;
}

bool RedirectRule::mayFollow(std::string_view from, std::string_view to, std::string_view requestOrigin,
                             std::string_view method, std::string_view nextMethod, bool bodyMustArrive) {
  auto source = Url::parse(from);
  auto target = Url::parse(to);
  if (!source || !target) return false;
  if (source->isSecure() && !target->isSecure()) return false;
  if (bodyMustArrive && !isBodiless(upperCased(method)) && isBodiless(nextMethod)) return false;
  return originOf(*target) == requestOrigin || isBodiless(nextMethod);
}

HeaderFields RedirectRule::headersForOtherOrigin(const HeaderFields& headers) {
  std::vector<HeaderFields::Entry> kept;
  for (const auto& entry : headers.entries()) {
    if (std::any_of(kFieldsForOtherOrigins.begin(), kFieldsForOtherOrigins.end(),
                    [&](std::string_view name) { return equalsIgnoringCase(entry.first, name); })) {
      kept.push_back(entry);
    }
  }
  return HeaderFields(std::move(kept));
}

}  // namespace platform::http::detail
