// Factory of signed cloud requests: builds a GET, POST or multipart POST for
// a service id with its request serializer and wraps it in a not yet started
// LMHTTPRequestOperation that decodes with the manager's response serializer.
//
// Ownership: each sync adapter owns one (shared_ptr); the operations share
// its response serializer. Threading: configure it during setup, then build
// operations from one thread at a time. Failures: a request that cannot be
// built (no signed-in session, unreadable multipart file) gives an operation
// that carries that error and sends nothing when started.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "cloud/request/LMHTTPRequestOperation.h"
#include "cloud/request/LMHTTPRequestSerialization.h"
#include "cloud/request/LMHTTPResponseSerialization.h"

namespace lumora {

class LMHTTPRequestOperationManager {
 public:
  static std::shared_ptr<LMHTTPRequestOperationManager> manager();
  LMHTTPRequestOperationManager();

  const std::shared_ptr<LMHTTPRequestSerialization>& requestSerializer() const {
    return requestSerializer_;
  }
  void setRequestSerializer(std::shared_ptr<LMHTTPRequestSerialization> serializer) {
    requestSerializer_ = std::move(serializer);
  }
  // An LMJsonResponseSerialization unless replaced.
  const std::shared_ptr<LMHTTPResponseSerialization>& responseSerializer() const {
    return responseSerializer_;
  }
  void setResponseSerializer(std::shared_ptr<LMHTTPResponseSerialization> serializer) {
    responseSerializer_ = std::move(serializer);
  }

  std::shared_ptr<LMHTTPRequestOperation> GET(const std::string& URLString,
                                              const std::optional<platform::Json>& parameters,
                                              const std::string& passportSid) const;
  // Parameters in the form body.
  std::shared_ptr<LMHTTPRequestOperation> POST(const std::string& URLString,
                                               const std::optional<platform::Json>& parameters,
                                               const std::string& passportSid) const;
  // Signed parameters in the query, the parts from `block` in the body.
  std::shared_ptr<LMHTTPRequestOperation> POST(const std::string& URLString,
                                               const std::optional<platform::Json>& parameters,
                                               const std::string& passportSid,
                                               const LMHTTPRequestSerialization::BodyBlock& block) const;
  std::shared_ptr<LMHTTPRequestOperation> requestWithMethod(
      const std::string& method, const std::string& URLString,
      const std::optional<platform::Json>& parameters, const std::string& passportSid) const;

  // Wraps a prepared request.
  std::shared_ptr<LMHTTPRequestOperation> HTTPRequestOperationWithRequest(
      platform::http::Request request, const std::string& passportSid) const;

 private:
  std::shared_ptr<LMHTTPRequestOperation> operationFor(
      platform::Result<platform::http::Request> request, const std::string& passportSid) const;

  std::shared_ptr<LMHTTPRequestSerialization> requestSerializer_;
  std::shared_ptr<LMHTTPResponseSerialization> responseSerializer_;
};

}  // namespace lumora
