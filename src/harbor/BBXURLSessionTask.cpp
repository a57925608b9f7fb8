#include "harbor/BBXURLSessionTask.h"

#include <atomic>
#include <mutex>

#include "harbor/BBXURLSession.h"
#include "harbor/HBRMachO.h"
#include "platform/http/FileResponseSink.h"
#include "platform/http/UrlError.h"
#include "platform/storage/AppHome.h"

namespace lumora {

BBXURLSessionTask::BBXURLSessionTask()
    : queue_(std::make_shared<platform::SerialQueue>("com.blackbox.URLSessionTask")) {}

BBXURLSessionTask::~BBXURLSessionTask() = default;

platform::http::Request BBXURLSessionTask::originalRequest() const {
  platform::http::Request request;
  queue_->sync([&] { request = originalRequest_; });
  return request;
}

std::optional<platform::http::Response> BBXURLSessionTask::response() const {
  std::optional<platform::http::Response> response;
  queue_->sync([&] { response = response_; });
  return response;
}

std::optional<platform::Error> BBXURLSessionTask::error() const {
  std::optional<platform::Error> error;
  queue_->sync([&] { error = error_; });
  return error;
}

bool BBXURLSessionTask::invokesDelegate() const {
  bool invokes = false;
  queue_->sync([&] { invokes = invokesDelegate_; });
  return invokes;
}

std::string BBXURLSessionTask::taskDescription() const {
  std::string description;
  queue_->sync([&] { description = taskDescription_; });
  return description;
}

void BBXURLSessionTask::setTaskDescription(std::string description) {
  queue_->sync([&] { taskDescription_ = std::move(description); });
}

std::shared_ptr<BBXURLSessionDataTask> BBXURLSessionDataTask::task() {
  return std::shared_ptr<BBXURLSessionDataTask>(new BBXURLSessionDataTask());
}

BBXURLSessionDataTask::~BBXURLSessionDataTask() = default;

void BBXURLSessionDataTask::resume() {
  auto self = std::static_pointer_cast<BBXURLSessionDataTask>(shared_from_this());
  queue_->async([self] {
    if (self->started_ || self->completed_) return;
    self->started_ = true;
    platform::http::Request request = self->originalRequest_;
    self->prepareRequest(request);
    std::weak_ptr<BBXURLSessionDataTask> weak = self;
    platform::http::Connection::Callbacks callbacks;
    callbacks.didReceiveResponse = [weak](const platform::http::Response& response) {
      if (auto task = weak.lock()) task->didReceiveResponse(response);
    };
    callbacks.didReceiveData = [weak](const platform::Bytes& data) {
      if (auto task = weak.lock()) task->didReceiveData(data);
    };
    callbacks.didFinishLoading = [weak] {
      if (auto task = weak.lock()) task->complete();
    };
    callbacks.didFailWithError = [weak](const platform::Error& error) {
      if (auto task = weak.lock()) task->didFail(error);
    };
    auto queue = self->queue_;
    self->connection_ = std::make_unique<platform::http::Connection>(
        std::move(request), std::move(callbacks),
        [queue](std::function<void()> event) { queue->async(std::move(event)); });
    self->connection_->start();
  });
}

void BBXURLSessionDataTask::cancel() {
  auto self = std::static_pointer_cast<BBXURLSessionDataTask>(shared_from_this());
  queue_->async([self] {
    if (self->connection_) self->connection_->cancel();
    // The connection reports nothing once cancelled: the task completes
    // here, so its caller still hears of it exactly once.
    if (self->completed_) return;
    self->error_ = platform::http::makeUrlError(platform::http::kUrlErrorCancelled, self->originalRequest_.url);
    self->complete();
  });
}

void BBXURLSessionDataTask::didReceiveResponse(const platform::http::Response& response) {
  if (auto session = session_.lock()) session->taskDidReceiveResponse(*this, response);
  response_ = response;
}

void BBXURLSessionDataTask::didReceiveData(const platform::Bytes& data) {
  if (!data_) data_.emplace();
  data_->insert(data_->end(), data.begin(), data.end());
  if (auto session = session_.lock()) session->taskDidReceiveData(*this, data);
}

void BBXURLSessionDataTask::didFail(const platform::Error& error) {
  error_ = error;
  complete();
}

bool BBXURLSessionDataTask::claimCompletion() {
  if (completed_) return false;
  completed_ = true;
  return true;
}

void BBXURLSessionDataTask::complete() {
  if (!claimCompletion()) return;
  if (completionHandler_) completionHandler_(data_, response_, error_);
  if (auto session = session_.lock()) session->taskDidCompleteWithError(*this, error_);
}

std::shared_ptr<BBXURLSessionUploadTask> BBXURLSessionUploadTask::task() {
  return std::shared_ptr<BBXURLSessionUploadTask>(new BBXURLSessionUploadTask());
}

std::shared_ptr<BBXURLSessionDownloadTask> BBXURLSessionDownloadTask::task() {
  return std::shared_ptr<BBXURLSessionDownloadTask>(new BBXURLSessionDownloadTask());
}

namespace {

constexpr const char* kBBXDownloadPrefix = "bbx-download-";
constexpr const char* kBBXDownloadsBelowCaches = "io.harbor.sdk.ios.data/downloads";

// The reply body into the download's file, no longer than the request's
// maxResponseBytes (a longer one fails the send with -1103, as a reply
// kept in memory does).
class BBXBoundedFileSink final : public platform::http::ResponseSink {
 public:
  BBXBoundedFileSink(std::filesystem::path path, std::uint64_t maxBytes, std::string url)
      : file_(std::move(path)), maxBytes_(maxBytes), url_(std::move(url)) {}

  platform::Status begin(const platform::http::Response& response) override {
    received_ = 0;
    const std::int64_t announced = response.expectedContentLength();
    if (announced > 0 && static_cast<std::uint64_t>(announced) > maxBytes_) return tooLong();
    return file_.begin(response);
  }
  platform::Status write(const std::uint8_t* data, std::size_t size) override {
    if (size > maxBytes_ - received_) return tooLong();
    received_ += size;
    return file_.write(data, size);
  }
  platform::Status finish() override { return file_.finish(); }

 private:
  platform::Error tooLong() const {
    return platform::http::makeUrlError(platform::http::kUrlErrorDataLengthExceedsMaximum, url_,
                                        "the download is longer than " + std::to_string(maxBytes_) + " bytes");
  }

  platform::http::FileResponseSink file_;
  const std::uint64_t maxBytes_;
  const std::string url_;
  std::uint64_t received_ = 0;
};

}  // namespace

BBXURLSessionDownloadTask::BBXURLSessionDownloadTask() : targetURL_(temporaryFileURL()) {}

// A task that never completed (never resumed, or dropped mid-transfer)
// leaves nothing behind either.
BBXURLSessionDownloadTask::~BBXURLSessionDownloadTask() { cleanup(); }

std::filesystem::path BBXURLSessionDownloadTask::temporaryDirectory() {
  return platform::AppHome::caches() / kBBXDownloadsBelowCaches;
}

std::filesystem::path BBXURLSessionDownloadTask::temporaryFileURL() {
  // Never through a link in the place of the folder or the data folder
  // above it: such a link goes (the link itself) before anything is swept
  // or written.
  const std::filesystem::path caches = platform::AppHome::caches();
  platform::AppHome::makeOwnFolder(caches, kBBXDownloadsBelowCaches);
  const std::filesystem::path folder = caches / kBBXDownloadsBelowCaches;
  std::error_code error;
  // What a process that ended mid-download left (each completed download
  // removes its own file): swept once, before this process's first one.
  static std::once_flag swept;
  std::call_once(swept, [&] {
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      if (it->path().filename().string().rfind(kBBXDownloadPrefix, 0) != 0) continue;
      std::error_code ignored;
      std::filesystem::remove(it->path(), ignored);
    }
  });
  return folder / (kBBXDownloadPrefix + HBRCreateUUIDString());
}

void BBXURLSessionDownloadTask::prepareRequest(platform::http::Request& request) {
  request.responseSink = std::make_shared<BBXBoundedFileSink>(targetURL_, request.maxResponseBytes, request.url);
}

void BBXURLSessionDownloadTask::complete() {
  if (!claimCompletion()) return;
  // The transfer's own errors stand; a file that could not be written is
  // the download's error.
  if (error_ && error_->domain() != platform::http::kURLErrorDomain) {
    error_ = platform::Error(kBBXURLSessionDownloadTaskErrorDomain, -1);
  }
  // What a failed or cut download wrote is of no use to anyone: gone
  // before anyone hears of the failure.
  if (error_) cleanup();
  if (downloadCompletionHandler_) downloadCompletionHandler_(targetURL_, response_, error_);
  auto session = session_.lock();
  if (!error_) {
    if (session) session->downloadTaskDidFinishDownloadingToURL(*this, targetURL_);
    else cleanup();
  }
  if (session) session->taskDidCompleteWithError(*this, error_);
}

void BBXURLSessionDownloadTask::cleanup() {
  std::error_code ignored;
  std::filesystem::remove(targetURL_, ignored);
}

}  // namespace lumora
