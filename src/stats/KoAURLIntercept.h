// Times the app's HTTP and HTTPS requests: registered as a URL protocol,
// it takes every such request that is not marked "KOA_URL_HEADER", sends a
// copy marked with the empty text through the HTTP client, forwards the
// response, the data, redirects and failures to the requesting code, and
// reports one sample per request (URL, start, duration, HTTP status, 0
// without a response) when its loading stops, however it ended.
//
// Ownership: one instance per request, made by the URL loading system
// through protocolClass(); the report is called on the loading thread.
// Failures: the request's own, passed on unchanged.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include "platform/http/UrlProtocol.h"

namespace lumora {

class KoAURLIntercept final : public platform::http::UrlProtocol {
 public:
  static constexpr const char* kMarkerHeader = "KOA_URL_HEADER";
  // URL, start (seconds since 1970), duration (seconds), status.
  using Report = std::function<void(const std::string& url, double start, double cost, std::int64_t stateCode)>;

  // An http/https URL (any letter case) without the marker header field.
  static bool canInitWithRequest(const platform::http::Request& request);
  static const platform::http::Request& canonicalRequestForRequest(const platform::http::Request& request) {
    return request;
  }
  // The class to register; its instances report to `report`.
  static std::shared_ptr<const platform::http::UrlProtocolClass> protocolClass(Report report);

  KoAURLIntercept(platform::http::Request request, Report report);

  platform::Status startLoading(platform::http::UrlProtocolClient& client,
                                              const std::atomic<bool>* cancelled) override;
  void stopLoading() override;

  double nStart = 0;
  double nEnd = 0;
  std::int64_t nStateCode = 0;

 private:
  platform::http::Request request_;
  Report report_;
  bool stopped_ = false;
};

}  // namespace lumora
