// Sends the packaged log files of one session fragment to the analytics
// endpoint as one multipart POST (a file part per file, named by the file)
// and reports only whether that worked.
//
// Ownership: owns its HTTPS client (no pinner: the system's trust).
// Threading: no mutable state; any thread. The completion runs once, on
// the HTTPS client's callback thread.
// Failure: the HTTPS client's error, unchanged, after up to ten retries; a
// file that cannot be read contributes no part.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harbor/HBRNetworkClient.h"
#include "platform/Result.h"

namespace lumora {

class BBXAnalyticsNetworkingClient {
 public:
  using Completion = std::function<void(const platform::Status&)>;
  static constexpr std::uint64_t kRetryLimit = 10;
  static constexpr double kTimeoutSeconds = 20.0;

  BBXAnalyticsNetworkingClient();
  virtual ~BBXAnalyticsNetworkingClient() = default;

  static platform::http::Request requestForLogFilesAtURLs(const std::vector<std::filesystem::path>& files,
                                                           const std::string& url, const std::string& apiKey);
  virtual void transmitLogFilesAtURLs(const std::vector<std::filesystem::path>& files, const std::string& url,
                                      const std::string& apiKey, Completion completion);

  const std::shared_ptr<HBRNetworkClient>& networkClient() const { return networkClient_; }

 private:
  std::shared_ptr<HBRNetworkClient> networkClient_;
};

}  // namespace lumora
