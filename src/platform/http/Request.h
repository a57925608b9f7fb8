// One HTTP request as the URL loading system takes it. Plain value type: copy
// it freely, use a copy from one thread at a time; nothing here fails.
#pragma once

#include <string>

#include "platform/Bytes.h"
#include "platform/http/HeaderFields.h"

namespace platform::http {

struct Request {
  // Absolute http or https URL. Plain http is refused unless the host is the
  // loopback interface (error -1022).
  std::string url;
  // "GET", "POST", "HEAD", "PUT", "DELETE", ... (empty: "GET"). A method
  // that is no HTTP token fails the request (-1).
  std::string method = "GET";
  // Sent as given, one line per name (repeated names joined with ", ", or
  // "; " for Cookie); a field whose name or value holds a line break or NUL
  // is left out. A body without "Content-Type" goes out as
  // "application/x-www-form-urlencoded", as the platform does.
  HeaderFields headers;
  // Sent for every method but GET and HEAD.
  Bytes body;
  // Longest time without any progress (connecting, sending or receiving)
  // before the transfer fails with -1001.
  double timeoutSeconds = 60.0;
  // Attach the shared store's cookies for the URL and store the cookies that
  // responses set.
  bool shouldHandleCookies = true;
  // Follow 301/302/303/307/308 replies that carry a Location (at most 16
  // times, else -1007). Off: the redirect reply itself is the response.
  bool followRedirects = true;
};

}  // namespace platform::http
