#include "harbor/HBRNetworkOperation.h"

#include "platform/device/Locale.h"
#include "platform/dispatch/ConcurrentQueue.h"

namespace lumora {
namespace {

constexpr const char* kDeveloperToken = "5b1e93c07a4d2f86e0c9b7a13d58f2046ca9e17b";
constexpr const char* kClientIdentifier = "io.harbor.sdk.ios";
constexpr const char* kClientVersion = "1.5.5";
constexpr const char* kClientBuild = "30";

}  // namespace

void HBRAsynchronousOperation::start() {
  executing_.store(true);
  announce("isExecuting");
  auto self = shared_from_this();
  platform::globalQueue().async([self] { self->main(); });
}

void HBRAsynchronousOperation::finish() {
  executing_.store(false);
  announce("isExecuting");
  finished_.store(true);
  announce("isFinished");
}

void HBRAsynchronousOperation::announce(const char* key) {
  if (stateObserver) stateObserver(key);
}

platform::http::Request HBRNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const std::string& url) {
  return mutableRequestWithDefaultHTTPHeadersForURL(url, kDefaultTimeout);
}

platform::http::Request HBRNetworkOperation::mutableRequestWithDefaultHTTPHeadersForURL(const std::string& url,
                                                                                         double timeout) {
  platform::http::Request request;
  request.url = url;
  request.timeoutSeconds = timeout;
  // Reloaded from the origin every time: this client keeps no cache.
  request.headers.set("User-Agent", userAgentString());
  request.headers.set("Accept-Charset", "utf-8");
  request.headers.set("Accept-Language", localeIdentifier());
  request.headers.set("Content-Language", localeIdentifier());
  request.headers.set("X-Blackbox-Developer-Token", kDeveloperToken);
  request.headers.set("X-Blackbox-API-Client-Id", kClientIdentifier);
  request.headers.set("X-Blackbox-API-Client-Display-Version", kClientVersion);
  request.headers.set("X-Blackbox-API-Client-Build-Version", kClientBuild);
  request.headers.set("X-Blackbox-API-Key", APIKey_);
  return request;
}

std::string HBRNetworkOperation::userAgentString() const {
  return std::string(kClientIdentifier) + "/" + kClientVersion + " (" + kClientBuild + ")";
}

std::string HBRNetworkOperation::localeIdentifier() const { return platform::Locale::currentIdentifier(); }

}  // namespace lumora
