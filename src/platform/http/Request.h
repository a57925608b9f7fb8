// One HTTP request as the URL loading system takes it. Plain value type: copy
// it freely, use a copy from one thread at a time; nothing here fails. A body
// too large for memory comes from a BodySource, read in pieces as it is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "platform/Result.h"
#include "platform/http/HeaderFields.h"

namespace platform::http {

// One reading of a body, front to back. Used by one thread at a time.
class BodyStream {
 public:
  virtual ~BodyStream() = default;
  // Copies up to `size` bytes into `buffer`: the count (0 only at the end),
  // or the error that stops the send.
  virtual Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) = 0;
};

// A body of a known length, opened afresh for each send (a redirect that
// keeps the body reads it again). A stream that ends before `length`, or
// fails, fails the send; nothing past `length` is read.
struct BodySource {
  std::uint64_t length = 0;
  std::function<std::unique_ptr<BodyStream>()> open;
};

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
  // When set, the body is read from it instead (and `body` is ignored).
  std::optional<BodySource> bodySource;
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
