// The Retry-After value of a reply: as the reporting kits read it from a
// reply's head (the input is the field's text, or two fields that arrive
// joined) and turn it into the delay before each retry, and as the host
// blocking reads a cloud 503's "retryAfter" (the same text, and the number
// it reads as). The value read is a finite number of seconds, never
// negative (a server may ask for any finite wait); the delay made of it, for
// the first retry and for the last, becomes a wait the clock can hold.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "cloud/request/LMHTTPErrorHandler.h"
#include "harbor/HBRNetworkClient.h"
#include "harbor/HBRNetworkResponseHandler.h"
#include "platform/NumberValues.h"
#include "platform/dispatch/Clock.h"
#include "support/Fuzz.h"
#include "utils/LMErrors.h"

namespace {

bool readable(double seconds) { return std::isfinite(seconds) && seconds >= 0; }

// A delay as the client hands it to the clock: held to the nanosecond
// count's range, never negative.
bool holdable(double seconds) {
  return !std::isnan(seconds) && seconds >= 0 && platform::saturatingCast<std::int64_t>(seconds * 1e9) >= 0;
}

lumora::HBRNetworkClient& client() {
  static const std::shared_ptr<lumora::HBRNetworkClient> made = [] {
    platform::Clock::setCurrent(std::make_shared<platform::ManualClock>());
    // The largest jitter the draw can give.
    lumora::HBRNetworkClient::setJitterForTesting([] { return 0.999999; });
    return lumora::HBRNetworkClient::create();
  }();
  return *made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(fuzz::text(data, size));
  platform::http::HeaderFields headers;
  // A line break splits the input into two fields of the one name.
  if (const auto split = text.find('\n'); split != std::string::npos) {
    headers.add("Retry-After", text.substr(0, split));
    headers.add("Retry-After", text.substr(split + 1));
  } else {
    headers.set("Retry-After", text);
  }
  for (int status : {429, 503}) {
    const platform::http::Response response("https://reports.example/spi", status, headers);
    FUZZ_CHECK(readable(lumora::HBRNetworkResponseHandler::retryValueForResponse(response)));
    for (std::uint64_t attempt : {std::uint64_t{0}, lumora::HBRNetworkClient::kDefaultRetryLimit}) {
      FUZZ_CHECK(holdable(client().computeDelayForResponse(response, attempt)));
    }
  }

  auto& blocking = lumora::LMHTTPErrorHandler::defaultHandler();
  const std::string url = "http://cloud.example/lum/x";
  for (const platform::Json& value : {platform::Json(text), platform::Json(std::strtod(text.c_str(), nullptr))}) {
    (void)blocking.handleServerError(
        platform::Error(lumora::kLMServerErrorDomain, 503, {{"data", {{"retryAfter", value}}}}), url);
    (void)blocking.serverErrorWithURL(url);
    blocking.clearAllErrors();
  }
  return 0;
}
