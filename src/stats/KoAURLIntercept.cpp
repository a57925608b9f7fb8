#include "stats/KoAURLIntercept.h"

#include "platform/dispatch/Clock.h"

namespace lumora {
namespace {

using platform::http::Response;
using platform::http::UrlProtocolClient;

// Passes everything on to the requesting code, noting the status.
class Forwarder final : public UrlProtocolClient {
 public:
  Forwarder(UrlProtocolClient& client, std::int64_t& stateCode) : client_(client), stateCode_(stateCode) {}
  void didReceiveResponse(const Response& response) override {
    stateCode_ = response.statusCode();
    client_.didReceiveResponse(response);
  }
  void didReceiveData(const std::uint8_t* data, std::size_t size) override { client_.didReceiveData(data, size); }
  void didSendBodyData(std::int64_t written, std::int64_t total, std::int64_t expected) override {
    client_.didSendBodyData(written, total, expected);
  }
  void wasRedirected(const std::string& url, const Response& response) override {
    client_.wasRedirected(url, response);
  }

 private:
  UrlProtocolClient& client_;
  std::int64_t& stateCode_;
};

double now() { return platform::Clock::current()->secondsSince1970(); }

}  // namespace

bool KoAURLIntercept::canInitWithRequest(const platform::http::Request& request) {
  return platform::http::isHttpUrl(request.url) && !request.headers.contains(kMarkerHeader);
}

std::shared_ptr<const platform::http::UrlProtocolClass> KoAURLIntercept::protocolClass(Report report) {
  auto protocolClass = std::make_shared<platform::http::UrlProtocolClass>();
  protocolClass->canInitWithRequest = &KoAURLIntercept::canInitWithRequest;
  protocolClass->make = [report = std::move(report)](const platform::http::Request& request) {
    return std::make_unique<KoAURLIntercept>(canonicalRequestForRequest(request), report);
  };
  return protocolClass;
}

KoAURLIntercept::KoAURLIntercept(platform::http::Request request, Report report)
    : request_(std::move(request)), report_(std::move(report)) {}

platform::Status KoAURLIntercept::startLoading(UrlProtocolClient& client, const std::atomic<bool>* cancelled) {
  nStart = now();
  platform::http::Request copy = request_;
  copy.headers.set(kMarkerHeader, "");
  Forwarder forwarder(client, nStateCode);
  return platform::http::loadRequest(copy, forwarder, cancelled);
}

void KoAURLIntercept::stopLoading() {
  if (stopped_) return;
  stopped_ = true;
  nEnd = now();
  if (report_) report_(request_.url, nStart, nEnd - nStart, nStateCode);
}

}  // namespace lumora
