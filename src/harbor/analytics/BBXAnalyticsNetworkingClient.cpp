#include "harbor/analytics/BBXAnalyticsNetworkingClient.h"

#include "harbor/HBRMultipartMimeStreamEncoder.h"

namespace lumora {

namespace {
constexpr const char* kAnalyticsDeveloperToken = "ZPQ_INTEGRATOR_CODE";
constexpr const char* kAnalyticsEventsMimeType = "application/vnd.blackbox.ios.events";
}  // namespace

BBXAnalyticsNetworkingClient::BBXAnalyticsNetworkingClient() : networkClient_(HBRNetworkClient::create()) {}

platform::http::Request BBXAnalyticsNetworkingClient::requestForLogFilesAtURLs(
    const std::vector<std::filesystem::path>& files, const std::string& url, const std::string& apiKey) {
  platform::http::Request request;
  request.url = url;
  request.method = "POST";
  request.timeoutSeconds = kTimeoutSeconds;
  // The fragments are removed once the upload succeeds.
  request.bodyMustArrive = true;
  request.headers.set("User-Agent", "Tally iOS SDK/0.9.1");
  request.headers.set("X-BLACKBOX-DEVELOPER-TOKEN", kAnalyticsDeveloperToken);
  request.headers.set("X-BLACKBOX-API-CLIENT-TYPE", "Tally iOS SDK");
  request.headers.set("X-BLACKBOX-API-CLIENT-VERSION", "2");
  request.headers.set("X-BLACKBOX-API-CLIENT-DISPLAY-VERSION", "0.9.1");
  request.headers.set("X-BLACKBOX-API-CLIENT-BUILD-VERSION", "2");
  request.headers.set("X-BLACKBOX-API-KEY", apiKey);
  HBRMultipartMimeStreamEncoder::populateRequest(request, [&](HBRMultipartMimeStreamEncoder& encoder) {
    for (const auto& file : files) {
      const std::string name = file.filename().string();
      // A fragment that cannot be read makes no part; the others go.
      (void)encoder.addFile(file, name, kAnalyticsEventsMimeType, name);
    }
  });
  return request;
}

void BBXAnalyticsNetworkingClient::transmitLogFilesAtURLs(const std::vector<std::filesystem::path>& files,
                                                          const std::string& url, const std::string& apiKey,
                                                          Completion completion) {
  networkClient_->startDataTaskWithRequest(
      requestForLogFilesAtURLs(files, url, apiKey), kRetryLimit,
      [completion = std::move(completion)](const std::optional<platform::Bytes>&,
                                           const std::optional<platform::http::Response>&,
                                           const std::optional<platform::Error>& error) {
        completion(error ? platform::Status(*error) : platform::Status::success());
      });
}

}  // namespace lumora
