#include "cloud/request/LMDataRequestOperation.h"

#include <limits>

#include <utility>

#include "platform/http/UrlError.h"

namespace lumora {

std::shared_ptr<LMDataRequestOperation> LMDataRequestOperation::initWithRequest(
    platform::http::Request request) {
  return std::make_shared<LMDataRequestOperation>(Token{}, std::move(request));
}

LMDataRequestOperation::LMDataRequestOperation(Token, platform::http::Request request)
    : request_(std::move(request)) {}

LMDataRequestOperation::~LMDataRequestOperation() {
  if (outputStream_) outputStream_->close();
}

platform::SerialQueue& LMDataRequestOperation::networkRequestThread() {
  // Never destroyed: transfers may still report while the process exits.
  static platform::SerialQueue* const thread = new platform::SerialQueue("LMNetworking");
  return *thread;
}

void LMDataRequestOperation::start() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto self = shared_from_this();
  if (isCancelled()) {
    if (state_ != kStateFinished) {
      networkRequestThread().async([self] { self->cancelConnection(); });
    }
    return;
  }
  if (state_ != kStateReady) return;
  state_ = kStateExecuting;
  error_.reset();
  response_.reset();
  responseData_.reset();
  networkRequestThread().async([self] { self->operationDidStart(); });
}

void LMDataRequestOperation::startWithFinish(FinishBlock finish) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  finishBlock_ = std::move(finish);
  start();
}

void LMDataRequestOperation::cancel() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (state_ == kStateFinished || ending_ || isCancelled()) return;
  platform::Operation::cancel();
  if (state_ == kStateReady) {
    error_ = cancelledError();
  } else {
    networkRequestThread().async([self = shared_from_this()] { self->cancelConnection(); });
  }
}

void LMDataRequestOperation::main() {
  start();
  std::unique_lock<std::recursive_mutex> lock(lock_);
  ended_.wait(lock, [this] { return state_ == kStateFinished; });
}

platform::Error LMDataRequestOperation::cancelledError() const {
  return platform::http::makeUrlError(platform::http::kUrlErrorCancelled, request_.url);
}

void LMDataRequestOperation::operationDidStart() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (isCancelled() || state_ != kStateExecuting || ending_) return;
  auto self = shared_from_this();
  platform::http::Connection::Callbacks callbacks;
  callbacks.didReceiveResponse = [self](const platform::http::Response& response) {
    self->didReceiveResponse(response);
  };
  callbacks.didReceiveData = [self](const platform::Bytes& chunk) { self->didReceiveData(chunk); };
  callbacks.didSendBodyData = [self](std::int64_t written, std::int64_t total,
                                     std::int64_t expected) {
    self->didSendBodyData(written, total, expected);
  };
  callbacks.didFinishLoading = [self] { self->endTransfer(std::nullopt); };
  callbacks.didFailWithError = [self](const platform::Error& error) { self->endTransfer(error); };
  // The memory bound is for bodies kept in memory: a body that goes to a
  // stream of the caller's (a file) may be as long as it is.
  platform::http::Request request = request_;
  if (!std::dynamic_pointer_cast<platform::MemoryOutputStream>(outputStreamLocked())) {
    request.maxResponseBytes = std::numeric_limits<std::uint64_t>::max();
  }
  connection_ = std::make_shared<platform::http::Connection>(
      std::move(request), std::move(callbacks),
      [](std::function<void()> task) { networkRequestThread().async(std::move(task)); });
  connection_->start();
}

void LMDataRequestOperation::cancelConnection() {
  std::shared_ptr<platform::http::Connection> connection;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (state_ == kStateFinished || ending_) return;
    connection = connection_;
  }
  // Nothing the connection still has in flight is delivered after this
  // (cancelled outside the lock, which its deliveries take).
  if (connection) connection->cancel();
  endTransfer(cancelledError());
}

void LMDataRequestOperation::didReceiveResponse(const platform::http::Response& response) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!ending_) response_ = response;
}

void LMDataRequestOperation::didReceiveData(const platform::Bytes& chunk) {
  std::shared_ptr<platform::OutputStream> stream;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (ending_) return;
    stream = outputStreamLocked();
  }
  platform::Status written = stream->write(chunk.data(), chunk.size());
  if (!written.ok()) {
    std::shared_ptr<platform::http::Connection> connection;
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      connection = connection_;
    }
    if (connection) connection->cancel();
    endTransfer(written.error());
    return;
  }
  ProgressBlock read;
  std::int64_t total = 0;
  std::int64_t expected = -1;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    totalBytesRead_ += static_cast<std::int64_t>(chunk.size());
    total = totalBytesRead_;
    if (response_) expected = response_->expectedContentLength();
    read = readDataBlock_;
  }
  if (read) read(static_cast<std::int64_t>(chunk.size()), total, expected);
}

void LMDataRequestOperation::didSendBodyData(std::int64_t written, std::int64_t total,
                                             std::int64_t expected) {
  ProgressBlock send;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (ending_) return;
    send = sendDataBlock_;
  }
  if (send) send(written, total, expected);
}

void LMDataRequestOperation::endTransfer(std::optional<platform::Error> failure) {
  FinishBlock finish;
  // Released with the end: no block runs after it, and one that holds the
  // operation would otherwise keep it alive.
  ProgressBlock send;
  ProgressBlock read;
  std::shared_ptr<platform::OutputStream> stream;
  std::shared_ptr<platform::http::Connection> connection;
  std::optional<platform::http::Response> response;
  std::optional<platform::Bytes> data;
  std::optional<platform::Error> error;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (ending_ || state_ == kStateFinished) return;
    ending_ = true;
    stream = outputStreamLocked();
    if (failure) {
      error_ = std::move(failure);
    } else {
      responseData_ = stream->dataWrittenToMemory();
      if (responseData_) outputStream_.reset();
    }
    connection = std::move(connection_);
    finish = std::move(finishBlock_);
    send = std::move(sendDataBlock_);
    read = std::move(readDataBlock_);
    response = response_;
    data = responseData_;
    error = error_;
  }
  stream->close();
  if (finish) finish(response, data, error);
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    state_ = kStateFinished;
  }
  ended_.notify_all();
  platform::Operation::finish();
  // This may run inside one of the connection's own callbacks: it goes on
  // the network thread's next turn.
  if (connection) networkRequestThread().async([connection = std::move(connection)] {});
}

std::shared_ptr<platform::OutputStream> LMDataRequestOperation::outputStreamLocked() {
  if (!outputStream_) outputStream_ = std::make_shared<platform::MemoryOutputStream>();
  return outputStream_;
}

LMDataRequestOperation::State LMDataRequestOperation::state() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return state_;
}

std::optional<platform::http::Response> LMDataRequestOperation::response() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return response_;
}

std::optional<platform::Error> LMDataRequestOperation::error() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return error_;
}

std::optional<platform::Bytes> LMDataRequestOperation::responseData() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return responseData_;
}

platform::Json LMDataRequestOperation::responseObject() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return responseObject_;
}

void LMDataRequestOperation::setResponseObject(platform::Json object) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  responseObject_ = std::move(object);
}

std::int64_t LMDataRequestOperation::totalBytesRead() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return totalBytesRead_;
}

std::shared_ptr<platform::OutputStream> LMDataRequestOperation::outputStream() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return outputStreamLocked();
}

void LMDataRequestOperation::setOutputStream(std::shared_ptr<platform::OutputStream> stream) {
  std::shared_ptr<platform::OutputStream> previous;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (stream == outputStream_) return;
    previous = std::exchange(outputStream_, std::move(stream));
  }
  if (previous) previous->close();
}

void LMDataRequestOperation::setSendDataBlock(ProgressBlock block) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  sendDataBlock_ = std::move(block);
}

void LMDataRequestOperation::setReadDataBlock(ProgressBlock block) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  readDataBlock_ = std::move(block);
}

void LMDataRequestOperation::setFinishBlock(FinishBlock block) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  finishBlock_ = std::move(block);
}

}  // namespace lumora
