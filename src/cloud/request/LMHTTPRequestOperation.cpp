#include "cloud/request/LMHTTPRequestOperation.h"

#include <utility>

#include "cloud/request/LMHTTPErrorHandler.h"
#include "cloud/request/LMHTTPRequestSerialization.h"
#include "cloud/request/LMJsonResponseSerialization.h"
#include "platform/http/SynchronousReply.h"
#include "platform/http/UrlError.h"
#include "utils/LMErrors.h"

namespace lumora {
namespace {

// What an operation decodes with until it is given a serializer or asked for
// its own: one JSON serializer with the default settings, never changed.
const std::shared_ptr<const LMHTTPResponseSerialization>& defaultSerializer() {
  static const auto& shared = *new std::shared_ptr<const LMHTTPResponseSerialization>(
      LMJsonResponseSerialization::serializer());
  return shared;
}

}  // namespace

LMHTTPRequestOperation::LMHTTPRequestOperation(platform::http::Request request,
                                               std::string passportSid,
                                               std::optional<LMSignedSession> session,
                                               std::shared_ptr<LMSessionSource> sessions)
    : request_(std::make_shared<const platform::http::Request>(std::move(request))),
      passportSid_(std::move(passportSid)),
      session_(std::move(session)),
      sessions_(sessions ? std::move(sessions) : LMPassportsSessionSource::shared()) {}

LMHTTPRequestOperation::LMHTTPRequestOperation(platform::Error buildError, std::string passportSid)
    : passportSid_(std::move(passportSid)),
      sessions_(LMPassportsSessionSource::shared()),
      error_(buildError),
      buildError_(std::move(buildError)) {}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestOperation::operationWithMethod(
    const std::string& method, const std::string& URLString,
    const std::optional<platform::Json>& parameters, const std::string& passportSid) {
  auto sessions = LMPassportsSessionSource::shared();
  auto session = sessions->sessionForSid(passportSid);
  if (!session) return std::make_shared<LMHTTPRequestOperation>(session.error(), passportSid);
  LMHTTPRequestSerialization serializer;
  return std::make_shared<LMHTTPRequestOperation>(
      serializer.requestWithMethod(method, URLString, parameters, *session), passportSid, *session,
      sessions);
}

void LMHTTPRequestOperation::start() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (started_) return;
    started_ = true;
  }
  if (cancellation_->isCancelled()) {
    setError(platform::http::makeUrlError(platform::http::kUrlErrorCancelled, requestSnapshot()->url));
  } else if (!buildError_) {
    main();
  }
  CompletionBlock completion;
  {
    std::lock_guard<std::mutex> guard(lock_);
    finished_ = true;
    completion = std::move(completion_);
  }
  if (completion) completion(*this);
}

void LMHTTPRequestOperation::cancel() {
  if (isFinished()) return;
  cancellation_->cancel();
}

bool LMHTTPRequestOperation::isCancelled() const { return cancellation_->isCancelled(); }

bool LMHTTPRequestOperation::isFinished() const {
  std::lock_guard<std::mutex> guard(lock_);
  return finished_;
}

void LMHTTPRequestOperation::setUploadProgressBlock(ProgressBlock block) {
  std::lock_guard<std::mutex> guard(lock_);
  uploadProgress_ = std::move(block);
}

void LMHTTPRequestOperation::setDownloadProgressBlock(ProgressBlock block) {
  std::lock_guard<std::mutex> guard(lock_);
  downloadProgress_ = std::move(block);
}

void LMHTTPRequestOperation::setCompletionBlock(CompletionBlock block) {
  std::lock_guard<std::mutex> guard(lock_);
  completion_ = std::move(block);
}

std::optional<std::string> LMHTTPRequestOperation::securityKey() const {
  if (!session_) return std::nullopt;
  return session_->sSecurity;
}

void LMHTTPRequestOperation::main() {
  setError(std::nullopt);
  std::shared_ptr<const platform::http::Request> request;
  platform::http::SendControl control;
  std::shared_ptr<const LMHTTPResponseSerialization> serializer;
  {
    std::lock_guard<std::mutex> guard(lock_);
    request = request_;
    control.didSendBodyData = uploadProgress_;
    control.didReceiveData = downloadProgress_;
    serializer = serializerLocked();
  }
  const std::string& url = request->url;
  auto& handler = LMHTTPErrorHandler::defaultHandler();
  if (auto blocked = handler.serverErrorWithURL(url); !blocked) {
    setError(blocked.error());
    return;
  }

  // The send runs without the lock: cancel() and the accessors answer at once.
  control.cancelled = &cancellation_->flag();
  platform::http::SynchronousReply reply = platform::http::sendSynchronousRequest(*request, control);
  std::optional<platform::Error> outcome = reply.error;
  std::shared_ptr<const platform::Json> object;
  bool decoded = true;
  if (!outcome) {
    if (reply.response && reply.response->statusCode() == 401) {
      // The platform reports an unanswered authentication challenge this way:
      // a failure of the connection, with no reply to decode.
      outcome = platform::http::makeUrlError(platform::http::kUrlErrorUserCancelledAuthentication,
                                             url);
    } else if (serializer) {
      LMDecodedReply decodedReply =
          serializer->responseObjectForResponse(reply.response, reply.data, securityKey());
      if (decodedReply.object) {
        object = std::make_shared<const platform::Json>(std::move(*decodedReply.object));
      }
      if (!decodedReply.status.ok()) outcome = decodedReply.status.error();
    } else {
      decoded = false;
    }
  }
  // A failed connection leaves nothing to decode; responseObject() must not
  // put a decoding error in place of the transport error later.
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!reply.error || reply.response) {
      response_ = std::move(reply.response);
      responseData_ = std::move(reply.data);
    }
    responseObject_ = std::move(object);
    decoded_ = decoded;
    error_ = outcome;
  }

  if (handler.handleServerError(outcome, url) || !outcome || cancellation_->isCancelled()) return;
  handler.handleUserAuthenticationError(
      outcome, *sessions_, passportSid_, [this, &outcome](const platform::Status& relogin, bool handled) {
        if (!handled) return;
        if (!relogin.ok()) {
          setError(relogin.error());
          return;
        }
        // Logged in again: the caller's retry loop sends it once more.
        platform::Json info =
            outcome->userInfo().is_object() ? outcome->userInfo() : platform::Json::object();
        info[kLMRetriableKey] = true;
        setError(platform::Error(outcome->domain(), outcome->code(), std::move(info)));
      });
}

platform::http::Request LMHTTPRequestOperation::request() const { return *requestSnapshot(); }

std::shared_ptr<const platform::http::Request> LMHTTPRequestOperation::requestSnapshot() const {
  std::lock_guard<std::mutex> guard(lock_);
  return request_;
}

void LMHTTPRequestOperation::setRequest(platform::http::Request request) {
  auto replacement = std::make_shared<const platform::http::Request>(std::move(request));
  std::lock_guard<std::mutex> guard(lock_);
  request_ = std::move(replacement);
}

std::shared_ptr<LMHTTPResponseSerialization> LMHTTPRequestOperation::responseSerializer() {
  std::lock_guard<std::mutex> guard(lock_);
  if (usesDefaultSerializer_) {
    // Asked for, it becomes the operation's own, to change as the caller likes.
    responseSerializer_ = LMJsonResponseSerialization::serializer();
    usesDefaultSerializer_ = false;
  }
  return responseSerializer_;
}

void LMHTTPRequestOperation::setResponseSerializer(
    std::shared_ptr<LMHTTPResponseSerialization> serializer) {
  std::lock_guard<std::mutex> guard(lock_);
  responseSerializer_ = std::move(serializer);
  usesDefaultSerializer_ = false;
  responseObject_.reset();
  decoded_ = false;
}

std::shared_ptr<const LMHTTPResponseSerialization> LMHTTPRequestOperation::serializerLocked() const {
  if (usesDefaultSerializer_) return defaultSerializer();
  return responseSerializer_;
}

std::optional<platform::http::Response> LMHTTPRequestOperation::response() const {
  std::lock_guard<std::mutex> guard(lock_);
  return response_;
}

std::optional<platform::Bytes> LMHTTPRequestOperation::responseData() const {
  std::lock_guard<std::mutex> guard(lock_);
  return responseData_;
}

void LMHTTPRequestOperation::setResponseData(std::optional<platform::Bytes> data) {
  std::lock_guard<std::mutex> guard(lock_);
  responseData_ = std::move(data);
}

std::optional<platform::Json> LMHTTPRequestOperation::responseObject() {
  auto object = sharedResponseObject();
  if (!object) return std::nullopt;
  return *object;
}

std::shared_ptr<const platform::Json> LMHTTPRequestOperation::sharedResponseObject() {
  std::lock_guard<std::mutex> guard(lock_);
  if (decoded_ || responseObject_) return responseObject_;
  // Nothing arrived (blocked host, transport failure, never started).
  if (!response_ && !responseData_) return nullptr;
  auto serializer = serializerLocked();
  if (!serializer) {
    if (!responseData_) return nullptr;
    return std::make_shared<const platform::Json>(platform::Json::binary(*responseData_));
  }
  LMDecodedReply reply = serializer->responseObjectForResponse(
      response_, responseData_.value_or(platform::Bytes()), securityKey());
  responseObject_ =
      reply.object ? std::make_shared<const platform::Json>(std::move(*reply.object)) : nullptr;
  decoded_ = true;
  error_ = reply.status.ok() ? std::nullopt : std::optional<platform::Error>(reply.status.error());
  return responseObject_;
}

std::optional<platform::Error> LMHTTPRequestOperation::error() const {
  std::lock_guard<std::mutex> guard(lock_);
  return error_;
}

void LMHTTPRequestOperation::setError(std::optional<platform::Error> error) {
  std::lock_guard<std::mutex> guard(lock_);
  error_ = std::move(error);
}

platform::Result<platform::Json> LMHTTPRequestOperation::result() {
  if (auto failure = error()) return *failure;
  auto object = sharedResponseObject();
  if (auto failure = error()) return *failure;
  return object ? *object : platform::Json();
}

}  // namespace lumora
