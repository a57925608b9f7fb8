#include "harbor/BBXURLSession.h"

#include <fmt/format.h>

#include <future>
#include <mutex>

#include "platform/http/FileBodySource.h"

namespace lumora {

std::shared_ptr<BBXURLSession> BBXURLSession::sessionWithConfiguration(
    std::shared_ptr<BBXURLSessionConfiguration> configuration, std::weak_ptr<BBXURLSessionDelegate> delegate,
    std::shared_ptr<platform::OperationQueue> delegateQueue) {
  if (!configuration) return nullptr;
  if (!delegate.expired() && !delegateQueue) delegateQueue = newDefaultDelegateQueue();
  return std::shared_ptr<BBXURLSession>(
      new BBXURLSession(std::move(configuration), std::move(delegate), std::move(delegateQueue)));
}

std::shared_ptr<platform::OperationQueue> BBXURLSession::newDefaultDelegateQueue() {
  static const char kClassName[] = "BBXURLSession";
  return std::make_shared<platform::OperationQueue>(
      fmt::format("{} {}", kClassName, static_cast<const void*>(kClassName)), 1);
}

BBXURLSession::BBXURLSession(std::shared_ptr<BBXURLSessionConfiguration> configuration,
                             std::weak_ptr<BBXURLSessionDelegate> delegate,
                             std::shared_ptr<platform::OperationQueue> queue)
    : configuration_(std::move(configuration)), delegateQueue_(std::move(queue)), delegate_(std::move(delegate)) {
  if (!delegateQueue_) delegateQueue_ = newDefaultDelegateQueue();
}

BBXURLSession::~BBXURLSession() = default;

std::shared_ptr<BBXURLSessionDelegate> BBXURLSession::delegate() const {
  std::shared_ptr<BBXURLSessionDelegate> delegate;
  queue_.sync([&] { delegate = delegate_.lock(); });
  return delegate;
}

std::shared_ptr<BBXURLSessionDataTask> BBXURLSession::dataTaskWithRequest(
    const platform::http::Request& request, BBXURLSessionDataTask::CompletionHandler handler) {
  auto task = BBXURLSessionDataTask::task();
  if (handler) {
    task->completionHandler_ = std::move(handler);
    task->invokesDelegate_ = false;
  }
  configureTask(task, request, nullptr);
  return task;
}

std::shared_ptr<BBXURLSessionUploadTask> BBXURLSession::uploadTaskWithRequest(
    const platform::http::Request& request, const std::filesystem::path& file,
    BBXURLSessionDataTask::CompletionHandler handler) {
  auto task = BBXURLSessionUploadTask::task();
  if (handler) {
    task->completionHandler_ = std::move(handler);
    task->invokesDelegate_ = false;
  }
  configureTask(task, request, [file](platform::http::Request& prepared) {
    prepared.body.clear();
    prepared.bodySource = platform::http::fileBodySource(file);
    if (!prepared.bodySource) {
      // An unreadable file fails the send when it is opened.
      prepared.bodySource = platform::http::BodySource{0, [] { return nullptr; }};
    }
  });
  return task;
}

std::shared_ptr<BBXURLSessionDownloadTask> BBXURLSession::downloadTaskWithRequest(
    const platform::http::Request& request, BBXURLSessionDownloadTask::DownloadCompletionHandler handler) {
  auto task = BBXURLSessionDownloadTask::task();
  if (handler) {
    task->downloadCompletionHandler_ = std::move(handler);
    task->invokesDelegate_ = false;
  }
  configureTask(task, request, nullptr);
  return task;
}

std::shared_ptr<BBXURLSessionDownloadTask> BBXURLSession::downloadTaskWithURL(const std::string& url) {
  platform::http::Request request;
  request.url = url;
  return downloadTaskWithRequest(request);
}

void BBXURLSession::configureTask(const std::shared_ptr<BBXURLSessionTask>& task,
                                  const platform::http::Request& request,
                                  const std::function<void(platform::http::Request&)>& block) {
  platform::http::Request prepared = request;
  bool asksDelegate = false;
  queue_.sync([&] {
    taskSet_.insert(task);
    // Added after the request's own: a header it already has keeps its
    // value first.
    for (const auto& [name, value] : configuration_->HTTPAdditionalHeaders.entries()) {
      prepared.headers.add(name, value);
    }
    auto delegate = delegate_.lock();
    asksDelegate = delegate && delegate->didReceiveChallenge;
  });
  if (block) block(prepared);
  if (asksDelegate) {
    std::weak_ptr<BBXURLSession> weak = weak_from_this();
    prepared.serverTrustHandler = [weak](const platform::http::ServerTrust& trust) {
      auto session = weak.lock();
      return session ? session->serverTrustChallenge(trust)
                     : platform::http::ChallengeDisposition::PerformDefaultHandling;
    };
  }
  task->queue_->sync([&] {
    task->originalRequest_ = std::move(prepared);
    task->session_ = weak_from_this();
  });
}

platform::http::ChallengeDisposition BBXURLSession::serverTrustChallenge(const platform::http::ServerTrust& trust) {
  auto delegate = this->delegate();
  if (!delegate || !delegate->didReceiveChallenge) {
    return platform::http::ChallengeDisposition::PerformDefaultHandling;
  }
  auto answer = std::make_shared<std::promise<platform::http::ChallengeDisposition>>();
  auto answered = std::make_shared<std::once_flag>();
  auto future = answer->get_future();
  BBXURLAuthenticationChallenge challenge{trust.host, trust};
  auto self = shared_from_this();
  delegateQueue_->addOperation([self, delegate, challenge, answer, answered] {
    delegate->didReceiveChallenge(*self, challenge, [answer, answered](platform::http::ChallengeDisposition d) {
      std::call_once(*answered, [&] { answer->set_value(d); });
    });
  });
  try {
    return future.get();
  } catch (const std::future_error&) {
    // The delegate queue dropped the challenge (it is going away).
    return platform::http::ChallengeDisposition::CancelChallenge;
  }
}

bool BBXURLSession::shouldInvokeDelegate(bool hookSet, const BBXURLSessionTask& task) const {
  return hookSet && task.invokesDelegate_;
}

void BBXURLSession::removeTaskFromSet(const std::shared_ptr<BBXURLSessionTask>& task) {
  auto self = shared_from_this();
  queue_.async([self, task] { self->taskSet_.erase(task); });
}

void BBXURLSession::taskDidReceiveResponse(BBXURLSessionDataTask& task, const platform::http::Response& response) {
  auto delegate = this->delegate();
  if (!delegate || !shouldInvokeDelegate(static_cast<bool>(delegate->dataTaskDidReceiveResponse), task)) return;
  auto self = shared_from_this();
  auto held = std::static_pointer_cast<BBXURLSessionDataTask>(task.shared_from_this());
  delegateQueue_->addOperation([self, delegate, held, response] {
    delegate->dataTaskDidReceiveResponse(*self, *held, response, [](int) {});
  });
}

void BBXURLSession::taskDidReceiveData(BBXURLSessionDataTask& task, const platform::Bytes& data) {
  auto delegate = this->delegate();
  if (!delegate || !shouldInvokeDelegate(static_cast<bool>(delegate->dataTaskDidReceiveData), task)) return;
  auto self = shared_from_this();
  auto held = std::static_pointer_cast<BBXURLSessionDataTask>(task.shared_from_this());
  delegateQueue_->addOperation([self, delegate, held, data] { delegate->dataTaskDidReceiveData(*self, *held, data); });
}

void BBXURLSession::downloadTaskDidFinishDownloadingToURL(BBXURLSessionDownloadTask& task,
                                                          const std::filesystem::path& url) {
  auto delegate = this->delegate();
  auto held = std::static_pointer_cast<BBXURLSessionDownloadTask>(task.shared_from_this());
  if (!delegate ||
      !shouldInvokeDelegate(static_cast<bool>(delegate->downloadTaskDidFinishDownloadingToURL), task)) {
    held->cleanup();
    return;
  }
  auto self = shared_from_this();
  delegateQueue_->addOperation([self, delegate, held, url] {
    delegate->downloadTaskDidFinishDownloadingToURL(*self, *held, url);
    held->cleanup();
  });
}

void BBXURLSession::taskDidCompleteWithError(BBXURLSessionTask& task, const std::optional<platform::Error>& error) {
  auto delegate = this->delegate();
  auto held = task.shared_from_this();
  if (!delegate || !shouldInvokeDelegate(static_cast<bool>(delegate->taskDidCompleteWithError), task)) {
    removeTaskFromSet(held);
    return;
  }
  auto self = shared_from_this();
  delegateQueue_->addOperation([self, delegate, held, error] {
    delegate->taskDidCompleteWithError(*self, *held, error);
    self->removeTaskFromSet(held);
  });
}

void BBXURLSession::invalidateAndCancel() {
  queue_.sync([&] {
    for (const auto& task : taskSet_) task->cancel();
    delegate_.reset();
  });
}

void BBXURLSession::finishTasksAndInvalidate() {
  queue_.sync([&] { delegate_.reset(); });
}

void BBXURLSession::getTasksWithCompletionHandler(
    std::function<void(const std::vector<std::shared_ptr<BBXURLSessionDataTask>>&,
                       const std::vector<std::shared_ptr<BBXURLSessionUploadTask>>&,
                       const std::vector<std::shared_ptr<BBXURLSessionDownloadTask>>&)>
        handler) {
  if (!handler) return;
  delegateQueue_->addOperation([handler] { handler({}, {}, {}); });
}

}  // namespace lumora
