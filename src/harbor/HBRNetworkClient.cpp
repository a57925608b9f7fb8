#include "harbor/HBRNetworkClient.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "harbor/HBRDebug.h"
#include "harbor/HBRNetworkResponseHandler.h"
#include "platform/NumberValues.h"
#include "platform/Random.h"
#include "platform/dispatch/ConcurrentQueue.h"

namespace lumora {
namespace {

// The single-precision values of 0.9 and 1.1, widened.
constexpr double kJitterMin = 0.8999999761581421;
constexpr double kJitterMax = 1.100000023841858;

std::mutex& randomMutex() {
  static std::mutex m;
  return m;
}

std::function<double()>& jitterOverride() {
  static std::function<double()> jitter;
  return jitter;
}

// One attempt's outcome, handed on to the retry logic.
template <class Body, class Completion, class Retry>
void finishAttempt(const std::shared_ptr<HBRNetworkClient>& client, const platform::http::Request& request,
                   std::uint64_t retryLimit, std::uint64_t tries, const Completion& completion,
                   const std::optional<Body>& body, const std::optional<platform::http::Response>& response,
                   const std::optional<platform::Error>& error, Retry retry) {
  HBRNetworkResponseHandler::handleCompletedResponse(
      response, request, error, [&](bool retryWanted, const std::optional<platform::Error>& classified) {
        if (!retryWanted) {
          completion(body, response, classified);
          return;
        }
        if (tries >= retryLimit) {
          completion(std::nullopt, std::nullopt,
                     HBRNetworkResponseHandler::errorForCode(kHBRNetworkErrorRetryLimit));
          return;
        }
        client->runAfterRetryValueFromResponse(response, tries, [client, request, retryLimit, tries, completion,
                                                                 retry] {
          retry(*client, request, retryLimit, tries + 1, completion);
        });
      });
}

}  // namespace

std::shared_ptr<HBRNetworkClient> HBRNetworkClient::create(
    std::shared_ptr<platform::OperationQueue> queue, std::optional<std::vector<HBRCertificate>> pinnedCertificates) {
  return createWithSessionConfiguration(BBXURLSessionConfiguration::defaultSessionConfiguration(), std::move(queue),
                                        std::move(pinnedCertificates));
}

std::shared_ptr<HBRNetworkClient> HBRNetworkClient::createWithSessionConfiguration(
    std::shared_ptr<BBXURLSessionConfiguration> configuration, std::shared_ptr<platform::OperationQueue> queue,
    std::optional<std::vector<HBRCertificate>> pinnedCertificates) {
  auto client = std::shared_ptr<HBRNetworkClient>(new HBRNetworkClient());
  if (pinnedCertificates) client->certPinner_ = std::make_shared<HBRCertificatePinner>(std::move(*pinnedCertificates));
  std::weak_ptr<HBRNetworkClient> weak = client;
  client->didBecomeInvalidWithError = [](BBXURLSession&, const std::optional<platform::Error>&) {};
  client->didReceiveChallenge = [weak](BBXURLSession&, const BBXURLAuthenticationChallenge& challenge,
                                       BBXChallengeCompletion completion) {
    if (auto self = weak.lock()) {
      self->answerChallenge(challenge, completion);
    } else {
      completion(platform::http::ChallengeDisposition::PerformDefaultHandling);
    }
  };
  client->session_ = BBXURLSession::sessionWithConfiguration(std::move(configuration), client, std::move(queue));
  if (!client->session_) return nullptr;
  return client;
}

HBRNetworkClient::~HBRNetworkClient() {
  if (session_) session_->finishTasksAndInvalidate();
}

void HBRNetworkClient::answerChallenge(const BBXURLAuthenticationChallenge& challenge,
                                       const BBXChallengeCompletion& completion) {
  if (HBRDebugEnabled() || !certPinner_) {
    completion(platform::http::ChallengeDisposition::PerformDefaultHandling);
    return;
  }
  certPinner_->handleChallenge(challenge, completion);
}

void HBRNetworkClient::startDataTaskWithRequest(const platform::http::Request& request, DataCompletion completion) {
  startDataTaskWithRequest(request, kDefaultRetryLimit, std::move(completion));
}

void HBRNetworkClient::startDataTaskWithRequest(const platform::http::Request& request, std::uint64_t retryLimit,
                                                DataCompletion completion) {
  startDataTaskWithRequest(request, retryLimit, 0, std::move(completion));
}

void HBRNetworkClient::startDataTaskWithRequest(const platform::http::Request& request, std::uint64_t retryLimit,
                                                std::uint64_t tries, DataCompletion completion) {
  auto self = shared_from_this();
  auto task = session_->dataTaskWithRequest(
      request, [self, request, retryLimit, tries, completion](const std::optional<platform::Bytes>& body,
                                                              const std::optional<platform::http::Response>& response,
                                                              const std::optional<platform::Error>& error) {
        finishAttempt(self, request, retryLimit, tries, completion, body, response, error,
                      [](HBRNetworkClient& client, const platform::http::Request& again, std::uint64_t limit,
                         std::uint64_t next, const DataCompletion& done) {
                        client.startDataTaskWithRequest(again, limit, next, done);
                      });
      });
  if (!task) {
    completion(std::nullopt, std::nullopt, HBRNetworkResponseHandler::errorForCode(kHBRNetworkErrorNoTask));
    return;
  }
  task->resume();
}

void HBRNetworkClient::startDownloadTaskWithRequest(const platform::http::Request& request,
                                                    DownloadCompletion completion) {
  startDownloadTaskWithRequest(request, kDefaultRetryLimit, std::move(completion));
}

void HBRNetworkClient::startDownloadTaskWithRequest(const platform::http::Request& request, std::uint64_t retryLimit,
                                                    DownloadCompletion completion) {
  startDownloadTaskWithRequest(request, retryLimit, 0, std::move(completion));
}

void HBRNetworkClient::startDownloadTaskWithRequest(const platform::http::Request& request, std::uint64_t retryLimit,
                                                    std::uint64_t tries, DownloadCompletion completion) {
  auto self = shared_from_this();
  auto task = session_->downloadTaskWithRequest(
      request, [self, request, retryLimit, tries, completion](const std::optional<std::filesystem::path>& file,
                                                              const std::optional<platform::http::Response>& response,
                                                              const std::optional<platform::Error>& error) {
        finishAttempt(self, request, retryLimit, tries, completion, file, response, error,
                      [](HBRNetworkClient& client, const platform::http::Request& again, std::uint64_t limit,
                         std::uint64_t next, const DownloadCompletion& done) {
                        client.startDownloadTaskWithRequest(again, limit, next, done);
                      });
      });
  if (!task) {
    completion(std::nullopt, std::nullopt, HBRNetworkResponseHandler::errorForCode(kHBRNetworkErrorNoTask));
    return;
  }
  task->resume();
}

void HBRNetworkClient::invalidateAndCancel() { session_->invalidateAndCancel(); }

double HBRNetworkClient::computeDelayForResponse(const std::optional<platform::http::Response>& response,
                                                 std::uint64_t retryCount) const {
  const double base = HBRNetworkResponseHandler::retryValueForResponse(response);
  const double factor = retryCount == 0 ? 1.0 : static_cast<double>(retryCount);
  return HBRNetworkResponseHandler::retryDelay(base, base * factor * generateRandomJitter(), retryCount);
}

void HBRNetworkClient::runAfterRetryValueFromResponse(const std::optional<platform::http::Response>& response,
                                                      std::uint64_t attempts, platform::DispatchQueue& queue,
                                                      std::function<void()> block) {
  double delay = computeDelayForResponse(response, attempts);
  auto nanoseconds = platform::saturatingCast<std::int64_t>(delay * 1e9);
  queue.asyncAfter(std::chrono::duration_cast<platform::Clock::Duration>(std::chrono::nanoseconds(nanoseconds)),
                   std::move(block));
}

void HBRNetworkClient::runAfterRetryValueFromResponse(const std::optional<platform::http::Response>& response,
                                                      std::uint64_t attempts, std::function<void()> block) {
  runAfterRetryValueFromResponse(response, attempts, platform::globalQueue(), std::move(block));
}

double HBRNetworkClient::generateRandomJitter() { return randomDoubleWithMin(kJitterMin, kJitterMax); }

double HBRNetworkClient::randomDoubleWithMin(double min, double max) {
  std::lock_guard<std::mutex> guard(randomMutex());
  double draw = 0;
  if (jitterOverride()) {
    draw = jitterOverride()();
  } else {
    // Seeded once, so that processes (and the devices behind them) do not
    // all retry in step.
    static const bool seeded = [] {
      platform::Bytes seed = platform::randomBytes(sizeof(long));
      long value = 0;
      std::memcpy(&value, seed.data(), sizeof value);
      srand48(value);
      return true;
    }();
    (void)seeded;
    draw = drand48();
  }
  return min + (max - min) * draw;
}

void HBRNetworkClient::setJitterForTesting(std::function<double()> jitter) {
  std::lock_guard<std::mutex> guard(randomMutex());
  jitterOverride() = std::move(jitter);
}

}  // namespace lumora
