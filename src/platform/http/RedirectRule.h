// What a followed redirect may take along. The request's origin is the
// scheme, host and port of its own URL. Within it a redirect carries the
// request as it is. A hop that leaves it carries none of the request's
// credentials: only the fields that describe what is asked for (see
// headersForOtherOrigin), no cookie of the request or of the store, and no
// body: a redirect to another origin that keeps a method other than GET or
// HEAD (307/308, or 301/302 of a method other than POST) is not followed.
// Once left, the origin's credentials do not come back on a later hop.
// Nothing is followed from https to plain http, and a request whose body
// must arrive follows no redirect that drops it. Stateless functions; any
// thread.
// Internal to the HTTP client.
#pragma once

#include <string>
#include <string_view>

#include "platform/http/HeaderFields.h"
#include "platform/http/Url.h"

namespace platform::http::detail {

class RedirectRule {
 public:
  // "scheme://host:port" of the URL (the scheme's port when it names none).
  static std::string originOf(const Url& url);
  // The method that follows a redirect reply with `status`: GET after a 303
  // (but for HEAD) and after a 301 or 302 to a POST, else the same.
  static std::string methodAfter(long status, const std::string& method);
  // Whether the redirect from `from` to `to` is followed by a request of
  // `requestOrigin` that goes on from `method` with `nextMethod`; with
  // `bodyMustArrive`, not when that leaves the body behind.
  static bool mayFollow(std::string_view from, std::string_view to, std::string_view requestOrigin,
                        std::string_view method, std::string_view nextMethod, bool bodyMustArrive);
  // The fields of `headers` that go on to another origin.
  static HeaderFields headersForOtherOrigin(const HeaderFields& headers);
};

}  // namespace platform::http::detail
