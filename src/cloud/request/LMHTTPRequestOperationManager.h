// Factory of signed cloud requests: takes the session of a service id from
// its session source (once per request), builds a GET, POST or multipart
// POST signed with it, and wraps it in a not yet started
// LMHTTPRequestOperation that keeps that session, decodes with the manager's
// response serializer and logs in again through the same source.
//
// Ownership: each sync adapter owns one (shared_ptr); the operations share
// its response serializer and session source. Threading: configure it during
// setup, then build operations from one thread at a time. Failures: a request
// without a signed-in session gives an operation that carries -10001 and
// sends nothing when started.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cloud/request/LMHTTPRequestOperation.h"
#include "cloud/request/LMHTTPRequestSerialization.h"
#include "cloud/request/LMHTTPResponseSerialization.h"
#include "cloud/request/LMSessionSource.h"

namespace lumora {

class LMHTTPRequestOperationManager {
 public:
  static std::shared_ptr<LMHTTPRequestOperationManager> manager();
  // Sessions from `sessions`, or from the shared passports manager.
  explicit LMHTTPRequestOperationManager(std::shared_ptr<LMSessionSource> sessions = nullptr);

  const std::shared_ptr<LMSessionSource>& sessionSource() const { return sessions_; }
  void setSessionSource(std::shared_ptr<LMSessionSource> sessions);

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

  // Wraps a prepared request signed with `session` (nullopt: the session the
  // source has for the service id now).
  std::shared_ptr<LMHTTPRequestOperation> HTTPRequestOperationWithRequest(
      platform::http::Request request, const std::string& passportSid,
      std::optional<LMSignedSession> session = std::nullopt) const;

 private:
  // The operation for the request `build` makes with the session of
  // `passportSid`, or one carrying the not-logged-in error.
  std::shared_ptr<LMHTTPRequestOperation> signedOperation(
      const std::string& passportSid,
      const std::function<platform::http::Request(const LMSignedSession&)>& build) const;

  std::shared_ptr<LMHTTPRequestSerialization> requestSerializer_;
  std::shared_ptr<LMHTTPResponseSerialization> responseSerializer_;
  std::shared_ptr<LMSessionSource> sessions_;
};

}  // namespace lumora
