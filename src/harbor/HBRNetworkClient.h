// The reporting kits' HTTPS client: runs data and download tasks on a URL
// session, classifies each finished reply, retries retryable ones after
// the server's Retry-After (300 s without a usable one: absent, empty, not
// wholly a number or a date, negative, not finite or out of range) times
// the attempt number times a random jitter in [0.9, 1.1) (where the server
// asks for less than a second, never sooner than a least wait that doubles
// with each retry), and answers server-trust challenges through its
// certificate pinner (unless the debug switch is on or it pins nothing).
// Each started request's completion handler runs exactly once.
// Ownership: created shared; owns its session, which refers to it weakly
// as its delegate. A waiting retry keeps the client alive.
// Threading: any thread. Completion handlers run on the task's queue;
// retries start from the global queue once their delay has passed on the
// platform clock. Failure: errors of "HBRNetworkError" (-3, -4, -5, -6) or
// the transport's error unchanged (a refused chain: -999, not retried).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "harbor/BBXURLSession.h"
#include "harbor/HBRCertificatePinner.h"
#include "platform/dispatch/DispatchQueue.h"

namespace lumora {

class HBRNetworkClient : public BBXURLSessionDelegate, public std::enable_shared_from_this<HBRNetworkClient> {
 public:
  using DataCompletion = BBXURLSessionDataTask::CompletionHandler;
  using DownloadCompletion = BBXURLSessionDownloadTask::DownloadCompletionHandler;

  static constexpr std::uint64_t kDefaultRetryLimit = 10;

  // No certificates: no pinning. Certificates given (even none): a pinner.
  static std::shared_ptr<HBRNetworkClient> create(
      std::shared_ptr<platform::OperationQueue> queue = nullptr,
      std::optional<std::vector<HBRCertificate>> pinnedCertificates = std::nullopt);
  // Null when no session could be made.
  static std::shared_ptr<HBRNetworkClient> createWithSessionConfiguration(
      std::shared_ptr<BBXURLSessionConfiguration> configuration, std::shared_ptr<platform::OperationQueue> queue,
      std::optional<std::vector<HBRCertificate>> pinnedCertificates);
  // Asks the session to finish its tasks, then invalidates it.
  ~HBRNetworkClient() override;

  void startDataTaskWithRequest(const platform::http::Request& request, DataCompletion completion);
  void startDataTaskWithRequest(const platform::http::Request& request, std::uint64_t retryLimit,
                                DataCompletion completion);
  void startDataTaskWithRequest(const platform::http::Request& request, std::uint64_t retryLimit,
                                std::uint64_t tries, DataCompletion completion);
  void startDownloadTaskWithRequest(const platform::http::Request& request, DownloadCompletion completion);
  void startDownloadTaskWithRequest(const platform::http::Request& request, std::uint64_t retryLimit,
                                    DownloadCompletion completion);
  void startDownloadTaskWithRequest(const platform::http::Request& request, std::uint64_t retryLimit,
                                    std::uint64_t tries, DownloadCompletion completion);

  void invalidateAndCancel();

  // Seconds before the retry that follows attempt `retryCount` (0-based).
  double computeDelayForResponse(const std::optional<platform::http::Response>& response,
                                 std::uint64_t retryCount) const;
  void runAfterRetryValueFromResponse(const std::optional<platform::http::Response>& response,
                                      std::uint64_t attempts, platform::DispatchQueue& queue,
                                      std::function<void()> block);
  void runAfterRetryValueFromResponse(const std::optional<platform::http::Response>& response,
                                      std::uint64_t attempts, std::function<void()> block);
  static double generateRandomJitter();
  // min + (max - min) x a uniform draw from the process's 48-bit generator,
  // seeded once per process.
  static double randomDoubleWithMin(double min, double max);
  // Replaces the jitter draw (tests); null restores it.
  static void setJitterForTesting(std::function<double()> jitter);

  const std::shared_ptr<HBRCertificatePinner>& certPinner() const { return certPinner_; }
  const std::shared_ptr<BBXURLSession>& session() const { return session_; }

 private:
  HBRNetworkClient() = default;
  void answerChallenge(const BBXURLAuthenticationChallenge& challenge, const BBXChallengeCompletion& completion);

  std::shared_ptr<HBRCertificatePinner> certPinner_;
  std::shared_ptr<BBXURLSession> session_;
};

}  // namespace lumora
