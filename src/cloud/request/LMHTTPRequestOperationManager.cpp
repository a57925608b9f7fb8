#include "cloud/request/LMHTTPRequestOperationManager.h"

#include <utility>

#include "cloud/request/LMJsonResponseSerialization.h"

namespace lumora {

std::shared_ptr<LMHTTPRequestOperationManager> LMHTTPRequestOperationManager::manager() {
  return std::make_shared<LMHTTPRequestOperationManager>();
}

LMHTTPRequestOperationManager::LMHTTPRequestOperationManager(std::shared_ptr<LMSessionSource> sessions)
    : requestSerializer_(LMHTTPRequestSerialization::serializer()),
      responseSerializer_(LMJsonResponseSerialization::serializer()),
      sessions_(sessions ? std::move(sessions) : LMPassportsSessionSource::shared()) {}

void LMHTTPRequestOperationManager::setSessionSource(std::shared_ptr<LMSessionSource> sessions) {
  sessions_ = sessions ? std::move(sessions) : LMPassportsSessionSource::shared();
}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestOperationManager::signedOperation(
    const std::string& passportSid,
    const std::function<platform::http::Request(const LMSignedSession&)>& build) const {
  auto session = sessions_->sessionForSid(passportSid);
  if (!session) {
    auto operation = std::make_shared<LMHTTPRequestOperation>(session.error(), passportSid);
    operation->setResponseSerializer(responseSerializer_);
    return operation;
  }
  platform::http::Request request = build(*session);
  return HTTPRequestOperationWithRequest(std::move(request), passportSid, std::move(*session));
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
  return signedOperation(passportSid, [&](const LMSignedSession& session) {
    return requestSerializer_->multipartFormRequestWithMethod("POST", URLString, parameters, session,
                                                              block);
  });
}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestOperationManager::requestWithMethod(
    const std::string& method, const std::string& URLString,
    const std::optional<platform::Json>& parameters, const std::string& passportSid) const {
  return signedOperation(passportSid, [&](const LMSignedSession& session) {
    return requestSerializer_->requestWithMethod(method, URLString, parameters, session);
  });
}

std::shared_ptr<LMHTTPRequestOperation> LMHTTPRequestOperationManager::HTTPRequestOperationWithRequest(
    platform::http::Request request, const std::string& passportSid,
    std::optional<LMSignedSession> session) const {
  if (!session) {
    if (auto current = sessions_->sessionForSid(passportSid)) session = *current;
  }
  auto operation = std::make_shared<LMHTTPRequestOperation>(std::move(request), passportSid,
                                                            std::move(session), sessions_);
  operation->setResponseSerializer(responseSerializer_);
  return operation;
}

}  // namespace lumora
