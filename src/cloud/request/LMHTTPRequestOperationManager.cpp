#include "cloud/request/LMHTTPRequestOperationManager.h"

#include <utility>

#include "cloud/request/LMJsonResponseSerialization.h"

namespace lumora {

std::shared_ptr<LMHTTPRequestOperationManager> LMHTTPRequestOperationManager::manager() {
  return std::make_shared<LMHTTPRequestOperationManager>();
}

LMHTTPRequestOperationManager::LMHTTPRequestOperationManager()
    : requestSerializer_(LMHTTPRequestSerialization::serializer()),
      responseSerializer_(LMJsonResponseSerialization::serializer()) {}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestOperationManager::operationFor(
    platform::Result<platform::http::Request> request, const std::string& passportSid) const {
  if (!request) {
    auto operation = std::make_shared<LMHTTPRequestOperation>(request.error(), passportSid);
    operation->setResponseSerializer(responseSerializer_);
    return operation;
  }
  return HTTPRequestOperationWithRequest(std::move(request).value(), passportSid);
}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestOperationManager::GET(
    const std::string& URLString, const std::optional<platform::Json>& parameters,
    const std::string& passportSid) const {
  return requestWithMethod("GET", URLString, parameters, passportSid);
}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestOperationManager::POST(
    const std::string& URLString, const std::optional<platform::Json>& parameters,
    const std::string& passportSid) const {
  return requestWithMethod("POST", URLString, parameters, passportSid);
}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestOperationManager::POST(
    const std::string& URLString, const std::optional<platform::Json>& parameters,
    const std::string& passportSid, const LMHTTPRequestSerialization::BodyBlock& block) const {
  return operationFor(requestSerializer_->multipartFormRequestWithMethod("POST", URLString,
                                                                         parameters, passportSid,
                                                                         block),
                      passportSid);
}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestOperationManager::requestWithMethod(
    const std::string& method, const std::string& URLString,
    const std::optional<platform::Json>& parameters, const std::string& passportSid) const {
  return operationFor(requestSerializer_->requestWithMethod(method, URLString, parameters, passportSid),
                      passportSid);
}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestOperationManager::HTTPRequestOperationWithRequest(
    platform::http::Request request, const std::string& passportSid) const {
  auto operation = std::make_shared<LMHTTPRequestOperation>(std::move(request), passportSid);
  operation->setResponseSerializer(responseSerializer_);
  return operation;
}

}  // namespace lumora
