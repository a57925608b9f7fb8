#include "push/KoPushNetWorkBaseUtils.h"

#include <utility>

#include "push/KoPushSDKCoreParam.h"
#include "utils/ServiceHosts.h"

namespace lumora {
namespace {

void authorize(platform::http::Request& request, const std::string& secret) {
  if (!secret.empty()) request.headers.set("Authorization", "key=" + secret);
}

}  // namespace

KoPushNetWorkBaseUtils::KoPushNetWorkBaseUtils(std::optional<std::string> prefix)
    : prefixGiven_(prefix.has_value()), prefix_(std::move(prefix)) {}

std::string KoPushNetWorkBaseUtils::getURLPerfix() {
  std::lock_guard lock(prefixMutex_);
  if (!prefix_) {
    prefix_ = ServiceHosts::baseURL(KoPushSDKCoreParam::isDistribution() ? ServiceHosts::kPush
                                                                         : ServiceHosts::kPushSandbox);
  }
  return *prefix_;
}

void KoPushNetWorkBaseUtils::resetForTesting() {
  std::lock_guard lock(prefixMutex_);
  if (!prefixGiven_) prefix_.reset();
  timeoutSeconds_ = kDefaultTimeoutSeconds;
}

KoPushNetWorkBaseUtils::Outcome KoPushNetWorkBaseUtils::requestPOSTWithURL(const std::string& url,
                                                                           const std::string& secret,
                                                                           const Form& form) {
  platform::http::Request request = KoANetworkUtils::formRequest(url, form, timeoutSeconds_);
  authorize(request, secret);
  return KoANetworkUtils::exchange(request);
}

KoPushNetWorkBaseUtils::Outcome KoPushNetWorkBaseUtils::requestPOSTWithSuffixURL(const std::string& path,
                                                                                 const Form& form) {
  return requestPOSTWithURL(getURLPerfix() + path, "", form);
}

KoPushNetWorkBaseUtils::Outcome KoPushNetWorkBaseUtils::requestPOSTWithSuffixURL(const std::string& path,
                                                                                 const std::string& secret,
                                                                                 const Form& form) {
  return requestPOSTWithURL(getURLPerfix() + path, secret, form);
}

KoPushNetWorkBaseUtils::Outcome KoPushNetWorkBaseUtils::requestGETWithURL(const std::string& url) {
  return requestGETWithURL(url, "");
}

KoPushNetWorkBaseUtils::Outcome KoPushNetWorkBaseUtils::requestGETWithURL(const std::string& url,
                                                                          const std::string& secret) {
  platform::http::Request request;
  request.url = url;
  request.timeoutSeconds = timeoutSeconds_;
  authorize(request, secret);
  return KoANetworkUtils::exchange(request);
}

KoPushNetWorkBaseUtils::Outcome KoPushNetWorkBaseUtils::requestGETWithSuffixURL(const std::string& pathAndQuery,
                                                                                const std::string& secret) {
  return requestGETWithURL(getURLPerfix() + pathAndQuery, secret);
}

void KoPushNetWorkBaseUtils::appendURLParam(std::string& url, const Form& input, bool encode) {
  KoANetworkUtils::appendURLParam(url, input, encode);
}

std::optional<platform::Json> KoPushNetWorkBaseUtils::jsonDictionary(const std::string& data) {
  return KoANetworkUtils::jsonDictionary(data);
}

}  // namespace lumora
