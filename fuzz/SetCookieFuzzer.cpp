// Set-Cookie fields and other response head values from outside: each line
// of the input after the first is one Set-Cookie value of a response from
// the URL the first line names (or one of a few fixed ones). Every cookie
// read is valid, the store hands back only cookies that match the URL
// asked for, and the Cookie field holds them all.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/http/CookieStorage.h"
#include "support/Fuzz.h"

namespace {

const std::string kUrls[] = {"https://account.example.com/pass/serviceLogin",
                             "http://127.0.0.1:8765/sts?sid=lumora",
                             "https://a.b.example.org", "http://[::1]/x/y/", "http://.example.com/"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool clockSet = [] {
    platform::Clock::setCurrent(std::make_shared<platform::ManualClock>());
    return true;
  }();
  (void)clockSet;
  namespace http = platform::http;
  FuzzedDataProvider input(data, size);
  std::string url = input.ConsumeBool() ? input.ConsumeRandomLengthString(128)
                                        : input.PickValueInArray(kUrls);
  http::HeaderFields headers;
  std::string rest = input.ConsumeRemainingBytesAsString();
  for (std::size_t start = 0; start <= rest.size();) {
    std::size_t end = std::min(rest.find('\n', start), rest.size());
    headers.add(start % 3 == 0 ? "set-cookie" : "Set-Cookie", rest.substr(start, end - start));
    start = end + 1;
  }
  headers.add("Content-Type", rest.substr(0, rest.find('\n')));
  headers.add("Content-Length", rest.substr(rest.size() / 2));

  http::Response response(url, 200, headers);
  (void)response.mimeType();
  (void)response.textEncodingName();
  (void)response.expectedContentLength();
  (void)response.valueForHeaderField("set-cookie");

  auto cookies = http::cookiesFromHeaderFields(headers, url);
  for (const auto& cookie : cookies) FUZZ_CHECK(cookie.isValid());

  http::CookieStorage store;
  store.setCookiesFromResponse(response);
  auto parsed = http::Url::parse(url);
  auto sent = store.cookiesForURL(url);
  for (const auto& cookie : sent) {
    FUZZ_CHECK(parsed.has_value());
    FUZZ_CHECK(cookie.matches(*parsed));
  }
  std::string field = http::cookieHeaderValue(sent);
  for (const auto& cookie : sent) FUZZ_CHECK(field.find(cookie.name + "=" + cookie.value) != std::string::npos);
  for (const auto& cookie : store.cookies()) store.deleteCookie(cookie);
  FUZZ_CHECK(store.cookies().empty());
  return 0;
}
