#include "blackbox/BBXNetworkClient.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <utility>

#include "blackbox/BBXAllocator.h"
#include "harbor/HBRDebug.h"
#include "harbor/HBRNetworkResponseHandler.h"
#include "platform/JsonParse.h"
#include "platform/NumberValues.h"
#include "platform/diagnostics/Console.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/http/FileBodySource.h"
#include "platform/http/SynchronousReply.h"

namespace lumora {
namespace {

// How much of a failed upload's answer is kept to say why.
constexpr std::size_t kBBXResponseTextBytes = 512;

// A package of the program's own that opens now: a symbolic link or a pipe
// at its name is none. The upload opens it again the same way.
bool bbxClientFileReadable(const std::string& path) { return platform::http::fileBodySource(path).has_value(); }

// The service's own words from the start of its answer: the "error" text of
// a JSON body, else the text itself.
std::string bbxResponseReason(const std::string& text) {
  const platform::Json body = platform::parseJson(text, 4);
  if (body.is_object()) {
    const auto said = body.find("error");
    if (said != body.end() && said->is_string()) return said->get<std::string>();
  }
  return text;
}

}  // namespace

bool BBXNetworkErrorIsRefusal(const platform::Error& error) {
  if (error.domain() != kHBRNetworkErrorDomain || !error.userInfo().is_object()) return false;
  const auto found = error.userInfo().find("status_code");
  if (found == error.userInfo().end() || !found->is_number_integer()) return false;
  const auto status = found->get<int>();
  return status == 400 || status == 413 || status == 415 || status == 422;
}

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
  dataTaskDidReceiveData = [weak](BBXURLSession&, BBXURLSessionDataTask& task, const platform::Bytes& data) {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard lock(self->uploadsMutex_);
    std::string& text = self->responseTexts_[&task];
    const std::size_t take = std::min(data.size(), kBBXResponseTextBytes - std::min(text.size(), kBBXResponseTextBytes));
    text.append(reinterpret_cast<const char*>(data.data()), take);
  };
  taskDidCompleteWithError = [weak](BBXURLSession&, BBXURLSessionTask& task,
                                    const std::optional<platform::Error>& error) {
    auto self = weak.lock();
    if (!self) return;
    const std::string said = self->uploadEnded(task);
    HBRNetworkResponseHandler::handleCompletedResponse(
        task.response(), task.originalRequest(), error,
        [&](bool retry, const std::optional<platform::Error>& handled) {
          if (retry) {
            self->restartTask(task);
          } else if (handled && !said.empty() && handled->userInfo().is_object()) {
            platform::Error withText = *handled;
            withText.mutableUserInfo()["response_text"] = bbxResponseReason(said);
            self->handleTask(task, withText);
          } else {
            self->handleTask(task, handled);
          }
        });
    self->startWaitingUploads();
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
  std::lock_guard lock(sessionMutex_);
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
  if (!body) {
    BBXSDKLog("%s: Error: file unreadable\n", "startImmediateUploadRequest");
    return;
  }
  platform::http::Request send = request;
  send.bodySource = std::move(body);
  send.deadlineSeconds = request.timeoutSeconds;
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
        // A refusal is final: it is reported, so that the package is set
        // aside rather than sent again at every launch.
        if (!retry && (!error || BBXNetworkErrorIsRefusal(*error))) reportFinished(filePath, error);
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
  enqueueUpload(Upload{request, filePath, relativeTaskPathForAbsolutePath(filePath).value_or("")});
}

bool BBXNetworkClient::hasUploadWithDescription(const std::string& description) {
  std::lock_guard lock(uploadsMutex_);
  return hasUploadWithDescriptionLocked(description);
}

bool BBXNetworkClient::hasUploadWithDescriptionLocked(const std::string& description) const {
  for (const Upload& waiting : waitingUploads_) {
    if (waiting.description == description) return true;
  }
  for (const auto& [task, running] : runningUploads_) {
    if (running == description) return true;
  }
  return false;
}

void BBXNetworkClient::enqueueUpload(Upload upload) {
  {
    std::lock_guard lock(uploadsMutex_);
    if (!upload.description.empty() && hasUploadWithDescriptionLocked(upload.description)) {
      if (HBRDebugEnabled()) {
        platform::consoleLog("[Blackbox:Crash:Client] A task currently exists for this upload, skipping");
      }
      return;
    }
    waitingUploads_.push_back(std::move(upload));
  }
  startWaitingUploads();
}

void BBXNetworkClient::startWaitingUploads() {
  auto session = this->session();
  if (!session) return;
  for (;;) {
    Upload upload;
    {
      std::lock_guard lock(uploadsMutex_);
      if (waitingUploads_.empty() || runningUploads_.size() + startingUploads_ >= kMaxRunningUploads) return;
      upload = std::move(waitingUploads_.front());
      waitingUploads_.pop_front();
      // Its slot is taken now; the task is made without the lock.
      ++startingUploads_;
    }
    auto task = session->uploadTaskWithRequest(upload.request, upload.filePath);
    task->setTaskDescription(upload.description);
    {
      std::lock_guard lock(uploadsMutex_);
      --startingUploads_;
      runningUploads_.emplace(task.get(), upload.description);
    }
    task->resume();
  }
}

std::string BBXNetworkClient::uploadEnded(const BBXURLSessionTask& task) {
  std::lock_guard lock(uploadsMutex_);
  runningUploads_.erase(&task);
  std::string said;
  if (auto found = responseTexts_.find(&task); found != responseTexts_.end()) {
    said = std::move(found->second);
    responseTexts_.erase(found);
  }
  return said;
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
  std::shared_ptr<BBXURLSession> session;
  {
    std::lock_guard lock(sessionMutex_);
    session = session_;
  }
  std::weak_ptr<BBXNetworkClient> weak = weak_from_this();
  operationQueue_->addOperation([weak, session, description, completionBlock = std::move(completionBlock)] {
    auto self = weak.lock();
    if (!session || !self) {
      completionBlock(false);
      return;
    }
    session->getTasksWithCompletionHandler([self, description, completionBlock](
                                               const auto& data, const auto& uploads, const auto& downloads) {
      std::vector<std::shared_ptr<BBXURLSessionTask>> all(data.begin(), data.end());
      all.insert(all.end(), uploads.begin(), uploads.end());
      all.insert(all.end(), downloads.begin(), downloads.end());
      completionBlock(taskArray(all, description) || self->hasUploadWithDescription(description));
    });
  });
}

void BBXNetworkClient::runAfterRetryValueFromResponse(const std::optional<platform::http::Response>& response,
                                                      std::uint64_t restarts, std::function<void()> block) {
  const double asked = HBRNetworkResponseHandler::retryValueForResponse(response);
  const double delay = HBRNetworkResponseHandler::retryDelay(asked, asked, restarts);
  // A delay past the clock's range waits as long as it can.
  auto nanoseconds = std::chrono::nanoseconds(platform::saturatingCast<std::int64_t>(delay * 1e9));
  auto queue = operationQueue_;
  platform::globalQueue().asyncAfter(std::chrono::duration_cast<platform::Clock::Duration>(nanoseconds),
                                     [queue, block = std::move(block)] { queue->addOperation(block); });
}

void BBXNetworkClient::restartTask(BBXURLSessionTask& task) {
  auto self = shared_from_this();
  platform::http::Request request = task.originalRequest();
  // The restart opens the package again: the sent one's descriptor is not
  // held through the wait.
  request.bodySource.reset();
  std::string description = task.taskDescription();
  std::uint64_t restarts = 0;
  {
    std::lock_guard lock(uploadsMutex_);
    restarts = restarts_[description]++;
  }
  runAfterRetryValueFromResponse(task.response(), restarts, [self, request, description] {
    self->enqueueUpload(Upload{request, self->absolutePathForRelativeTaskPath(description), description});
  });
}

void BBXNetworkClient::handleTask(BBXURLSessionTask& task, const std::optional<platform::Error>& error) {
  handleTaskDescription(task.taskDescription(), error);
}

void BBXNetworkClient::handleTaskDescription(const std::string& description,
                                             const std::optional<platform::Error>& error) {
  {
    std::lock_guard lock(uploadsMutex_);
    restarts_.erase(description);
  }
  reportFinished(absolutePathForRelativeTaskPath(description), error);
}

void BBXNetworkClient::reportFinished(const std::string& path, const std::optional<platform::Error>& error) {
  if (auto delegate = delegate_.lock()) delegate->networkClientDidFinishUploadWithPath(*this, path, error);
}

}  // namespace lumora
