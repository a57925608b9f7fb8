#include "cloud/request/LMHTTPRequestOperation.h"

#include <utility>

#include "cloud/request/LMHTTPErrorHandler.h"
#include "cloud/request/LMHTTPRequestSerialization.h"
#include "cloud/request/LMJsonResponseSerialization.h"
#include "utils/LMErrors.h"
#include "platform/http/SynchronousReply.h"
#include "platform/http/UrlError.h"

namespace lumora {

LMHTTPRequestOperation::LMHTTPRequestOperation(platform::http::Request request,
                                               std::string passportSid)
    : request_(std::move(request)),
      passportSid_(std::move(passportSid)),
      responseSerializer_(LMJsonResponseSerialization::serializer()) {}

LMHTTPRequestOperation::LMHTTPRequestOperation(platform::Error buildError, std::string passportSid)
    : passportSid_(std::move(passportSid)),
      responseSerializer_(LMJsonResponseSerialization::serializer()),
      error_(buildError),
      buildError_(std::move(buildError)) {}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestOperation::operationWithMethod(
    const std::string& method, const std::string& URLString,
    const std::optional<platform::Json>& parameters, const std::string& passportSid) {
  LMHTTPRequestSerialization serializer;
  auto request = serializer.requestWithMethod(method, URLString, parameters, passportSid);
  if (!request) return std::make_shared<LMHTTPRequestOperation>(request.error(), passportSid);
  return std::make_shared<LMHTTPRequestOperation>(std::move(request).value(), passportSid);
}

void LMHTTPRequestOperation::start() {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (started_) return;
    started_ = true;
  }
  if (!buildError_) main();
}

void LMHTTPRequestOperation::main() {
  setError(std::nullopt);
  const std::string url = request().url;
  auto& handler = LMHTTPErrorHandler::defaultHandler();
  if (auto blocked = handler.serverErrorWithURL(url)) {
    setError(std::move(blocked));
    return;
  }

  std::lock_guard<std::recursive_mutex> guard(lock_);
  platform::http::SynchronousReply reply = platform::http::sendSynchronousRequest(request_);
  std::optional<platform::Error> outcome = reply.error;
  if (!outcome) {
    response_ = reply.response;
    responseData_ = std::move(reply.data);
    if (response_ && response_->statusCode() == 401) {
      // The platform reports an unanswered authentication challenge this way:
      // a failure of the connection, with no reply to decode.
      outcome = platform::http::makeUrlError(platform::http::kUrlErrorUserCancelledAuthentication,
                                             url);
      decoded_ = true;
    } else if (responseSerializer_) {
      std::optional<platform::Error> decodeError;
      responseObject_ = responseSerializer_->responseObjectForResponse(
          response_, *responseData_, passportSid_, &decodeError);
      decoded_ = true;
      outcome = std::move(decodeError);
    }
  } else {
    // A failed connection leaves nothing to decode; responseObject() must
    // not put a decoding error in place of the transport error later.
    if (reply.response) {
      response_ = reply.response;
      responseData_ = std::move(reply.data);
    }
    decoded_ = true;
  }
  error_ = outcome;

  if (!handler.handleServerError(error_, url) && error_) {
    handler.handleUserAuthenticationError(
        error_, passportSid_, [this, outcome](std::optional<platform::Error> reloginError, bool handled) {
          if (!handled) return;
          if (reloginError) {
            error_ = std::move(reloginError);
          } else if (outcome) {
            // Logged in again: the caller's retry loop sends it once more.
            platform::Json info = outcome->userInfo().is_object() ? outcome->userInfo()
                                                                  : platform::Json::object();
            info[kLMRetriableKey] = true;
            error_ = platform::Error(outcome->domain(), outcome->code(), std::move(info));
          }
        });
  }
}

platform::http::Request LMHTTPRequestOperation::request() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return request_;
}

void LMHTTPRequestOperation::setRequest(platform::http::Request request) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  request_ = std::move(request);
}

std::shared_ptr<LMHTTPResponseSerialization> LMHTTPRequestOperation::responseSerializer() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return responseSerializer_;
}

void LMHTTPRequestOperation::setResponseSerializer(
    std::shared_ptr<LMHTTPResponseSerialization> serializer) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  responseSerializer_ = std::move(serializer);
  responseObject_.reset();
  decoded_ = false;
}

std::optional<platform::http::Response> LMHTTPRequestOperation::response() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return response_;
}

std::optional<platform::Bytes> LMHTTPRequestOperation::responseData() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return responseData_;
}

void LMHTTPRequestOperation::setResponseData(std::optional<platform::Bytes> data) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  responseData_ = std::move(data);
}

std::optional<platform::Json> LMHTTPRequestOperation::responseObject() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (decoded_ || responseObject_) return responseObject_;
  // Nothing arrived (blocked host, transport failure, never started).
  if (!response_ && !responseData_) return std::nullopt;
  if (!responseSerializer_) {
    if (!responseData_) return std::nullopt;
    return platform::Json::binary(*responseData_);
  }
  std::optional<platform::Error> decodeError;
  responseObject_ = responseSerializer_->responseObjectForResponse(
      response_, responseData_.value_or(platform::Bytes()), passportSid_, &decodeError);
  decoded_ = true;
  error_ = std::move(decodeError);
  return responseObject_;
}

std::optional<platform::Error> LMHTTPRequestOperation::error() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return error_;
}

void LMHTTPRequestOperation::setError(std::optional<platform::Error> error) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  error_ = std::move(error);
}

}  // namespace lumora
