#include "blackbox/BBXNetworkClient.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <utility>

#include "blackbox/BBXAllocator.h"
#include "harbor/HBRDebug.h"
#include "harbor/HBRNetworkResponseHandler.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/http/FileBodySource.h"
#include "platform/http/SynchronousReply.h"

namespace lumora {
namespace {

bool bbxClientFileReadable(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return file.good();
}

}  // namespace

std::shared_ptr<BBXNetworkClient> BBXNetworkClient::create(
    std::shared_ptr<platform::OperationQueue> queue, BBXFileManager fileManager,
    std::weak_ptr<BBXNetworkClientDelegate> delegate, std::optional<std::vector<HBRCertificate>> pinnedCertificates) {
  auto client = std::shared_ptr<BBXNetworkClient>(new BBXNetworkClient());
  client->operationQueue_ = std::move(queue);
  client->fileManager_ = std::move(fileManager);
  client->delegate_ = std::move(delegate);
  client->certPinner_ = pinnedCertificates ? std::make_shared<HBRCertificatePinner>(std::move(*pinnedCertificates))
                                           : pinner();
  if (auto strong = client->delegate_.lock()) {
    client->canUseBackgroundSession_ = strong->networkClientCanUseBackgroundSessions(*client);
  }
  client->installSessionHooks();
  if (HBRDebugEnabled()) {
    platform::consoleLog(client->supportsBackgroundRequests()
                             ? "[Blackbox:Crash:Client] Background session uploading supported"
                             : "[Blackbox:Crash:Client] Background session uploading not supported, asynchronous "
                               "uploading will be used");
  }
  return client;
}

BBXNetworkClient::~BBXNetworkClient() {
  if (session_) session_->finishTasksAndInvalidate();
}

std::shared_ptr<HBRCertificatePinner> BBXNetworkClient::pinner() {
  return std::make_shared<HBRCertificatePinner>(HBRPinnedCertificates());
}

void BBXNetworkClient::installSessionHooks() {
  std::weak_ptr<BBXNetworkClient> weak = weak_from_this();
  didBecomeInvalidWithError = [](BBXURLSession&, const std::optional<platform::Error>& error) {
    if (HBRDebugEnabled()) {
      platform::consoleLog("[Blackbox:Crash:Client] session became invalid: " +
                           (error ? error->description() : std::string("(null)")));
    }
  };
  didReceiveChallenge = [weak](BBXURLSession&, const BBXURLAuthenticationChallenge& challenge,
                               BBXChallengeCompletion completion) {
    if (auto self = weak.lock()) {
      self->answerChallenge(challenge, completion);
    } else {
      completion(platform::http::ChallengeDisposition::CancelChallenge);
    }
  };
  taskDidCompleteWithError = [weak](BBXURLSession&, BBXURLSessionTask& task,
                                    const std::optional<platform::Error>& error) {
    auto self = weak.lock();
    if (!self) return;
    HBRNetworkResponseHandler::handleCompletedResponse(
        task.response(), task.originalRequest(), error,
        [&](bool retry, const std::optional<platform::Error>& handled) {
          if (retry) {
            self->restartTask(task);
          } else {
            self->handleTask(task, handled);
          }
        });
  };
}

void BBXNetworkClient::answerChallenge(const BBXURLAuthenticationChallenge& challenge,
                                       const BBXChallengeCompletion& completion) {
  if (HBRDebugEnabled()) {
    completion(platform::http::ChallengeDisposition::PerformDefaultHandling);
    return;
  }
  certPinner_->handleChallenge(challenge, completion);
}

std::shared_ptr<BBXURLSession> BBXNetworkClient::session() {
  if (session_) return session_;
  auto configuration = BBXURLSessionConfiguration::defaultSessionConfiguration();
  if (configuration) {
    session_ = BBXURLSession::sessionWithConfiguration(configuration, weak_from_this(), operationQueue_);
  }
  if (!configuration || !session_) platform::consoleLog("[Blackbox:Crash:Client] Failed to initialize");
  return session_;
}

bool BBXNetworkClient::supportsBackgroundRequests() const { return false; }

void BBXNetworkClient::attemptToReconnectBackgroundSessionWithCompletionBlock(const std::function<void()>& block) {
  if (block) block();
}

void BBXNetworkClient::startUploadRequest(const platform::http::Request& request, const std::string& filePath,
                                          bool immediately) {
  if (immediately) {
    startImmediateUploadRequest(request, filePath);
    return;
  }
  auto description = relativeTaskPathForAbsolutePath(filePath);
  auto self = shared_from_this();
  checkForExistingTaskMatchingDescription(description.value_or(""), [self, request, filePath](bool exists) {
    if (exists) {
      if (HBRDebugEnabled()) {
        platform::consoleLog("[Blackbox:Crash:Client] A task currently exists for this upload, skipping");
      }
      return;
    }
    self->startNewUploadRequest(request, filePath);
  });
}

void BBXNetworkClient::startImmediateUploadRequest(const platform::http::Request& request,
                                                   const std::string& filePath) {
  auto body = platform::http::fileBodySource(filePath);
  if (!body || !bbxClientFileReadable(filePath)) {
    BBXSDKLog("%s: Error: file unreadable\n", "startImmediateUploadRequest");
    return;
  }
  platform::http::Request send = request;
  send.bodySource = std::move(body);
  send.deadlineSeconds = request.timeoutSeconds;
  send.followRedirectsToOtherOrigins = false;  // the API key stays with the reports host
  std::weak_ptr<BBXNetworkClient> weak = weak_from_this();
  send.serverTrustHandler = [weak](const platform::http::ServerTrust& trust) {
    auto self = weak.lock();
    auto disposition = platform::http::ChallengeDisposition::CancelChallenge;
    if (!self) return disposition;
    self->answerChallenge(BBXURLAuthenticationChallenge{trust.host, trust},
                          [&disposition](platform::http::ChallengeDisposition answer) { disposition = answer; });
    return disposition;
  };
  auto reply = platform::http::sendSynchronousRequest(send);
  HBRNetworkResponseHandler::handleCompletedResponse(
      reply.response, send, reply.error, [&](bool retry, const std::optional<platform::Error>& error) {
        if (!retry && !error) reportFinished(filePath, std::nullopt);
      });
}

void BBXNetworkClient::startNewUploadRequest(const platform::http::Request& request, const std::string& filePath) {
  auto session = this->session();
  if (!session || !bbxClientFileReadable(filePath)) {
    auto self = shared_from_this();
    operationQueue_->addOperation([self, filePath] {
      self->reportFinished(filePath, platform::Error(kBBXNetworkErrorDomain, kBBXNetworkErrorUnreadableFile,
                                                     platform::Json{{"path", filePath}}));
    });
    return;
  }
  auto task = session->uploadTaskWithRequest(request, filePath);
  task->setTaskDescription(relativeTaskPathForAbsolutePath(filePath).value_or(""));
  task->resume();
}

std::string BBXNetworkClient::absolutePathForRelativeTaskPath(const std::string& relativePath) const {
  return (std::filesystem::path(rootPath()) / relativePath).string();
}

std::optional<std::string> BBXNetworkClient::relativeTaskPathForAbsolutePath(const std::string& absolutePath) const {
  const std::string prefix = rootPath() + "/";
  if (absolutePath.compare(0, prefix.size(), prefix) != 0) {
    BBXSDKLog("%s: Error: path '%s' is not at the root '%s'", "relativeTaskPathForAbsolutePath", absolutePath.c_str(),
              rootPath().c_str());
    return std::nullopt;
  }
  return absolutePath.substr(prefix.size());
}

bool BBXNetworkClient::taskArray(const std::vector<std::shared_ptr<BBXURLSessionTask>>& tasks,
                                 const std::string& description) {
  for (const auto& task : tasks) {
    if (task && task->taskDescription() == description) return true;
  }
  return false;
}

void BBXNetworkClient::checkForExistingTaskMatchingDescription(const std::string& description,
                                                               std::function<void(bool)> completionBlock) {
  auto session = session_;
  operationQueue_->addOperation([session, description, completionBlock = std::move(completionBlock)] {
    if (!session) {
      completionBlock(false);
      return;
    }
    session->getTasksWithCompletionHandler([description, completionBlock](const auto& data, const auto& uploads,
                                                                          const auto& downloads) {
      std::vector<std::shared_ptr<BBXURLSessionTask>> all(data.begin(), data.end());
      all.insert(all.end(), uploads.begin(), uploads.end());
      all.insert(all.end(), downloads.begin(), downloads.end());
      completionBlock(taskArray(all, description));
    });
  });
}

void BBXNetworkClient::runAfterRetryValueFromResponse(const std::optional<platform::http::Response>& response,
                                                      std::function<void()> block) {
  double delay = HBRNetworkResponseHandler::retryValueForResponse(response);
  auto nanoseconds = std::chrono::nanoseconds(static_cast<std::int64_t>(delay * 1e9));
  auto queue = operationQueue_;
  platform::globalQueue().asyncAfter(std::chrono::duration_cast<platform::Clock::Duration>(nanoseconds),
                                     [queue, block = std::move(block)] { queue->addOperation(block); });
}

void BBXNetworkClient::restartTask(BBXURLSessionTask& task) {
  auto self = shared_from_this();
  platform::http::Request request = task.originalRequest();
  std::string description = task.taskDescription();
  runAfterRetryValueFromResponse(task.response(), [self, request, description] {
    auto session = self->session();
    if (!session) return;
    auto restarted = session->uploadTaskWithRequest(request, self->absolutePathForRelativeTaskPath(description));
    restarted->setTaskDescription(description);
    restarted->resume();
  });
}

void BBXNetworkClient::handleTask(BBXURLSessionTask& task, const std::optional<platform::Error>& error) {
  handleTaskDescription(task.taskDescription(), error);
}

void BBXNetworkClient::handleTaskDescription(const std::string& description,
                                             const std::optional<platform::Error>& error) {
  reportFinished(absolutePathForRelativeTaskPath(description), error);
}

void BBXNetworkClient::reportFinished(const std::string& path, const std::optional<platform::Error>& error) {
  if (auto delegate = delegate_.lock()) delegate->networkClientDidFinishUploadWithPath(*this, path, error);
}

}  // namespace lumora
